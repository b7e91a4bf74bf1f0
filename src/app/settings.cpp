#include "app/settings.h"

namespace app {

bool ReadServerSettings(server::ServerOptions& /*options*/, std::string& /*message*/) {
  return true;
}

}  // namespace app
