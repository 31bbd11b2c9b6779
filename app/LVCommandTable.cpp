// The one place that gathers every subsystem's command declarations.
#include "app/LVCommand.h"
#include "graphics/LVPrint.h"
#include "app/LVPlotData.h"
#include "app/LVMouse.h"
#include "fileio/LVOpenFile.h"
#include "fileio/LVPoni.h"
#include "maths/LVGeometry.h"
#include "maths/LVIntegrate.h"
#include "maths/LVSimulate.h"
#include "fileio/LVSaveFiles.h"
#include "maths/LVMask.h"
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
  LVRegisterGeometryCommands();
  LVRegisterIntegrationCommands();
  LVRegisterSimulationCommands();
  LVRegisterPoniCommands();
  LVRegisterSaveCommands();
  LVRegisterMaskCommands();
  LVRegisterColourCommands();
  LVRegisterDisplaySizeCommands();
  LVRegisterImageCommands();
  LVRegisterPlotCommands();
  LVRegisterPrintCommands();
  LVRegisterMouseCommands();
}
