#include "app/LVPlotData.h"

#include <optional>

#include "app/LVCommand.h"
#include "commands/LVCalibrant.h"
#include "core/status.h"
#include "graphics/GDisplaySize.h"
#include "graphics/GGraph.h"
#include "graphics/GGraphics.h"
#include "graphics/GImage.h"
#include "graphics/GOverlay.h"
#include "platform/Platform.h"
#include "ui/LVCommandRegistry.h"
#include "ui/WInfo.h"
#include "ui/WWindow.h"

namespace {

LVSpyGlassStep gSpyGlassStep = nullptr;

}  // namespace

RubberShape& LVRegionRubberBox() {
  static RubberShape box;
  return box;
}

void LVSetSpyGlassStep(LVSpyGlassStep step) { gSpyGlassStep = step; }

int LVPlotData(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVPlotData", "V0.7"};
  if (IBad(kR, status)) return kFalse;
  PBackend& backend = PCurrentBackend();
  if (!backend.HasMainWindow()) return IFail(kR, kStatusBadHandle, status);
  int width = 0, height = 0;
  backend.ClientSize(width, height);
  if (width < 1 || height < 1) return kFalse;
  PCanvas* canvas = backend.Canvas();
  if (!canvas) {
    IError("LVPlotData; BeginPaint failed", status);
    return IFail(kR, kStatusBadHandle, status);
  }
  if (!GSetWindow(canvas, status) || !GDefault(status)) return kFalse;
  // Images and graphs are laid out above a docked information window.
  WDrawingAreaSize(width, height, status);

  RubberShape& region = LVRegionRubberBox();
  std::string title = kProductTitle;
  const bool image = d.dataDefined && d.numY >= 2;
  // The data, its marker and its region box stay inside the drawing area.
  std::optional<WDrawingAreaClip> clip(std::in_place, canvas);
  // Until an image says otherwise, the image mappings follow the display size.
  GSetImageFit(false, 1.0, 1.0, 0, 0);
  if (!d.dataDefined) {
    WDrawBackground(canvas, kBackgroundHatchGrey, status);
  } else if (!image) {
    GDrawXYGraph(canvas, 0, 0, width, height, d, status);
    GInitRubberBox(region, status);
    title = IFormat("%s: %s", kProductTitle, d.title.c_str());
  } else {
    // Room for numbered axes around an image with physical axes (a cake, a stack of scans).
    int left = 3, right = 5, top = 3, below = 5;
    const bool axes = GHasAxisImage(d) && width > 200 && height > 150 &&
                      GImageAxesMargins(canvas, width, height, d, left, right, top, below,
                                        status);
    if (!GDrawImage(canvas, left, top, width - left - right, height - top - below, d, status)) {
      IWarning("LVPlotData: GDrawImage failed", status);
    } else {
      if (axes) GDrawImageAxes(width, height, d, status);
      if (!axes) LVDrawCalibrantRings(canvas, d, status);
      if (d.beamCentreX > -1.0e5f) {
        WDrawMarker(canvas, GDataToWindowX(d.beamCentreX, d), GDataToWindowY(d.beamCentreY, d),
                    status);
      }
      GInitRubberBox(region, status);
      GDrawRubberBox(canvas, d.startX, d.startY, d.endX, d.endY, d, region, status);
      GSetDisplayScrollbars(d, status);
    }
    int method = 0;
    float minimum = 0.0f, maximum = 0.0f;
    GGetIntensityScaling(method, minimum, maximum, status);
    title = IFormat("%s: %g to %g Intensity Range", kProductTitle, static_cast<double>(minimum),
                    static_cast<double>(maximum));
  }
  clip.reset();
  {
    // The information window and the spy-glass are drawn wherever they are.
    WDrawingAreaClip whole(canvas, false);
    IInfoDraw(canvas, status);
    if (gSpyGlassStep) gSpyGlassStep(image, status);
  }
  backend.Present();
  backend.SetWindowTitle(title);
  return status == kStatusGood ? kTrue : kFalse;
}

void LVRegisterPlotCommands() {
  LVRegisterCommand({.name = "Plot_Data",
                     .work = [](LVCommandCall& call) { return LVPlotData(call.main, call.status); },
                     .keepsData = true});
  WSetPaintRoutine([](int& status) { return LVCommand("Plot_Data", CommandEvent{}, status); });
}
