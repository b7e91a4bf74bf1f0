// What `pelthollow --version` and `pelthollow --help` print: the version and the usage,
// the roles and every PELTHOLLOW_* variable the program reads. Pure; main calls them.
#pragma once

#include <string>

namespace app {

// "pelthollow 0.2.0" and a line feed.
std::string VersionText();

// The roles (server, client, admin), --version and --help, and one line for each
// variable, ending in a line feed.
std::string UsageText();

}  // namespace app
