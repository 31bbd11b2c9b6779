// The one place that gathers every subsystem's command declarations.
#include "app/LVCommand.h"
#include "app/LVFrame.h"
#include "graphics/LVPrint.h"
#include "app/LVPlotData.h"
#include "app/LVMenus.h"
#include "app/LVMouse.h"
#include "commands/LVFiles.h"
#include "commands/LVPoni.h"
#include "commands/LVBeamFit.h"
#include "commands/LVCalibrant.h"
#include "commands/LVGeometry.h"
#include "commands/LVIntegrate.h"
#include "commands/LVSimulate.h"
#include "commands/LVPeaks.h"
#include "commands/LVMask.h"
#include "commands/LVManipulate.h"
#include "commands/LVFilters.h"
#include "commands/LVDarkFlat.h"
#include "series/LVFileSeries.h"
#include "graphics/GColourTables.h"
#include "graphics/GDisplaySize.h"
#include "graphics/GImage.h"
#include "ui/LVMenus.h"

void LVRegisterCoreCommands();

void LVRegisterAllCommands() {
  static bool done = false;
  if (done) return;
  done = true;
  LVSetFirstCommandSteps(LVFirstCommandSteps);
  LVRegisterCoreCommands();
  LVRegisterFileCommands();
  LVRegisterGeometryCommands();
  LVRegisterBeamFitCommands();
  LVRegisterCalibrantCommands();
  LVRegisterIntegrationCommands();
  LVRegisterSimulationCommands();
  LVRegisterPeakCommands();
  LVRegisterPoniCommands();
  LVRegisterSaveCommands();
  LVRegisterMaskCommands();
  LVRegisterColourCommands();
  LVRegisterDisplaySizeCommands();
  LVRegisterImageCommands();
  LVRegisterPlotCommands();
  LVRegisterPrintCommands();
  LVRegisterMouseCommands();
  LVRegisterManipulateCommands();
  LVRegisterFilterCommands();
  LVRegisterDarkFlatCommands();
  LVRegisterSeriesCommands();
  // Windows titled after a command use its menu item's words.
  LVSetMenuWords(LVMenuCommandLabels());
}
