// The Mudlet package the web port serves at /mudlet/pelthollow.mpackage: a stored zip
// of config.lua and an XML of the script that maps Room.Info and shows Char.Vitals.
#pragma once

#include <string>
#include <string_view>

namespace web {

// `text` with &, < and > as XML entities, for an element's content.
std::string EscapeXml(std::string_view text);

// The package's bytes, built on the first call from the script compiled into the
// executable. Safe from any thread.
std::string_view MudletPackage();

}  // namespace web
