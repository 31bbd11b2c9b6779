// The one place that gathers every subsystem's command declarations.
#include "app/LVCommand.h"
#include "fileio/LVOpenFile.h"
#include "graphics/GColourTables.h"
#include "graphics/GDisplaySize.h"
#include "graphics/GImage.h"

void LVRegisterCoreCommands();

void LVRegisterAllCommands() {
  static bool done = false;
  if (done) return;
  done = true;
  LVRegisterCoreCommands();
  LVRegisterFileCommands();
  LVRegisterColourCommands();
  LVRegisterDisplaySizeCommands();
  LVRegisterImageCommands();
}
