#include "commands/handlers.h"

namespace commands {

void North(Socket, const CommandLine&) {}  // not built yet
void South(Socket, const CommandLine&) {}  // not built yet
void East(Socket, const CommandLine&) {}  // not built yet
void West(Socket, const CommandLine&) {}  // not built yet
void Follow(Socket, const CommandLine&) {}  // not built yet

}  // namespace commands
