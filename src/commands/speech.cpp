#include "commands/handlers.h"

namespace commands {

void Say(Socket, const CommandLine&) {}  // not built yet
void Yowl(Socket, const CommandLine&) {}  // not built yet
void Whisper(Socket, const CommandLine&) {}  // not built yet

}  // namespace commands
