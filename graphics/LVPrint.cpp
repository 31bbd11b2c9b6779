#include "graphics/LVPrint.h"

#include "core/status.h"
#include "graphics/GGraph.h"
#include "graphics/GGraphics.h"
#include "graphics/GImage.h"
#include "platform/PCanvas.h"
#include "platform/Platform.h"
#include "ui/LVCommandRegistry.h"

int LVPrintData(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVPrintData", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  if (!d.dataDefined) {
    IWarning("Printing not possible as no data is defined", status);
    return kFalse;
  }
  PBackend& backend = PCurrentBackend();
  PPrintPage page;
  PCanvas* printer = backend.BeginPrint(page);
  if (!printer) return kFalse;
  backend.SetBusyCursor(true);
  int result = kTrue;
  if (page.canDrawBitmaps) {
    GSetWindow(printer, status);
    GDefault(status);
    if (d.numY == 1) {
      result = GDrawXYGraph(printer, page.left, page.top, page.width, page.height, d, status);
    } else {
      result = GDrawFullImage(printer, page.canStretch, page.left, page.top, page.width,
                              page.height, d, status);
    }
  } else {
    IWarning("The printer selected does not suppport image output", status);
  }
  // The window's own drawing state comes back at its next paint.
  if (PCanvas* window = backend.Canvas()) GSetWindow(window, status);
  backend.SetBusyCursor(false);
  if (!backend.EndPrint()) {
    IWarning("WEndPrint: Problem ending print job", status);
    return kFalse;
  }
  backend.MessageBox("Printing is finished", "Message:", PIcon::kInformation, PButtons::kOk,
                     PResult::kOk, false);
  return result;
}

void LVRegisterPrintCommands() {
  LVRegisterCommand({.name = "Print_Data", .work = [](LVCommandCall& call) {
                       return LVPrintData(call.main, call.status);
                     }});
}
