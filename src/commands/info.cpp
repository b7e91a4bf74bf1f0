#include "commands/handlers.h"

namespace commands {

void Look(Socket, const CommandLine&) {}  // not built yet
void Status(Socket, const CommandLine&) {}  // not built yet
void Navigate(Socket, const CommandLine&) {}  // not built yet
void Time(Socket, const CommandLine&) {}  // not built yet

}  // namespace commands
