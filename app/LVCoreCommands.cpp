// Commands that need nothing but the stores, the data-base and the value dialogs.
#include <string>

#include "app/LVCommand.h"
#include "commands/LVOverlay.h"
#include "ui/LVDataStores.h"
#include "ui/LVMenus.h"
#include "core/database.h"
#include "core/status.h"
#include "graphics/GDisplaySize.h"
#include "platform/Platform.h"
#include "ui/WDialogs.h"

void LVRegisterCoreCommands();

namespace {

int ChangeText(LVCommandCall& call, std::string DataSet::*field, const char* prompt) {
  std::string text = call.main.*field;
  if (!WGetString({prompt, kTrue, text, call.status})) return kFalse;
  call.main.*field = text;
  return kTrue;
}

int SetMagnification(LVCommandCall& call) {
  const int value = call.event.value;
  if (!((value >= -8 && value <= -2) || (value >= 1 && value <= 8))) return kFalse;
  ISetDBIntItem("Image_Display_Magnification", value, call.status);
  DataSet& main = call.main;
  if (value < 0) {
    main.magnification = 0;
    main.reduction = -value;
  } else {
    if (value == main.magnification) {
      call.nothingToDo = true;
      return kFalse;
    }
    main.magnification = value;
  }
  GMoveDisplay(kMoveValidate, main, call.status);
  return kTrue;
}

int SetBeamCentre(LVCommandCall& call) {
  if (!LVBeamCentreAcceptable("Set_Beam_Centre", call.event.realX, call.event.realY,
                              call.status)) {
    return kFalse;
  }
  call.main.beamCentreX = call.event.realX;
  call.main.beamCentreY = call.event.realY;
  ISetDBRealItem("Beam_CentreX", call.main.beamCentreX, call.status);
  ISetDBRealItem("Beam_CentreY", call.main.beamCentreY, call.status);
  IInfo(IFormat("Beam centre set to (%f, %f)", static_cast<double>(call.main.beamCentreX),
                static_cast<double>(call.main.beamCentreY)),
        call.status);
  return kTrue;
}

}  // namespace

void LVRegisterCoreCommands() {
  LVRegisterCommand({.name = "Exit", .work = [](LVCommandCall&) { return kTrue; }});

  LVRegisterCommand({.name = "ROI_Full", .work = [](LVCommandCall& call) {
                       DataSet& main = call.main;
                       main.startX = 0;
                       main.startY = 0;
                       main.endX = main.numX - 1;
                       main.endY = main.numY - 1;
                       IInfo(IFormat("Full ROI is set: (0, 0) to (%i, %i)", main.endX, main.endY),
                             call.status);
                       return kTrue;
                     }});

  LVRegisterCommand({.name = "Set_Main_Dataset", .work = [](LVCommandCall& call) {
                       const int index = call.event.value;
                       if (index < 0 || index >= kNumStores) return kFalse;
                       if (!LVSetNewDataset(call.stores, index, call.stores.mainIndex,
                                            call.status)) {
                         call.skipReport = true;
                         return kFalse;
                       }
                       return kTrue;
                     }});

  LVRegisterCommand({.name = "Set_Magnification", .work = SetMagnification, .report = false});

  LVRegisterCommand({.name = "Data_Copy",
                     .work = [](LVCommandCall& call) {
                       return MDataCopy(call.main, *call.chosen, call.status);
                     },
                     .choose = LVChoose::kOperand,
                     .prompt = "Select data-set to copy the main data-set",
                     .then = LVThen::kMainIsChosen});

  LVRegisterCommand({.name = "Data_Change_Name",
                     .work = [](LVCommandCall& call) {
                       std::string name = call.chosen->name;
                       if (!WGetString({"Enter name to refer to data-set", kTrue, name,
                                        call.status})) {
                         return kFalse;
                       }
                       call.chosen->name = name;
                       PCurrentBackend().SetMenuItemText(700 + call.chosenIndex, name);
                       return kTrue;
                     },
                     .choose = LVChoose::kAny,
                     .prompt = "Select data-set to change name"});

  LVRegisterCommand({.name = "Change_Title", .work = [](LVCommandCall& call) {
                       return ChangeText(call, &DataSet::title, "Enter text for data-set title");
                     }});
  LVRegisterCommand({.name = "Change_XLabel", .work = [](LVCommandCall& call) {
                       return ChangeText(call, &DataSet::xLabel,
                                         "Enter text for X-axis label for data-set");
                     }});
  LVRegisterCommand({.name = "Change_YLabel", .work = [](LVCommandCall& call) {
                       return ChangeText(call, &DataSet::yLabel,
                                         "Enter text for Y-axis label for data-set");
                     }});
  LVRegisterCommand({.name = "Change_ZLabel", .work = [](LVCommandCall& call) {
                       return ChangeText(call, &DataSet::zLabel,
                                         "Enter text for Z-axis label for data-set");
                     }});

  LVRegisterCommand({.name = "Mask_Disable", .work = [](LVCommandCall& call) {
                       call.main.maskInUse = call.main.maskInUse ? 0 : 1;
                       PCurrentBackend().SetMenuItemChecked(311, !call.main.maskInUse);
                       return kTrue;
                     }});

  LVRegisterCommand({.name = "Set_Beam_Centre", .work = SetBeamCentre, .setsGeometry = true});
}
