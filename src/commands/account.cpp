#include "commands/handlers.h"

namespace commands {

void Setup(Socket, const CommandLine&) {}  // not built yet
void Login(Socket, const CommandLine&) {}  // not built yet

}  // namespace commands
