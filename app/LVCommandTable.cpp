// The one place that gathers every subsystem's command declarations.
#include "app/LVCommand.h"
#include "fileio/LVOpenFile.h"

void LVRegisterCoreCommands();

void LVRegisterAllCommands() {
  static bool done = false;
  if (done) return;
  done = true;
  LVRegisterCoreCommands();
  LVRegisterFileCommands();
}
