#include "graphics/GDisplaySize.h"

#include <algorithm>

#include "ui/LVCommandRegistry.h"
#include "core/database.h"
#include "core/status.h"
#include "graphics/GGraph.h"
#include "graphics/GGraphics.h"
#include "platform/Platform.h"
#include "ui/WWindow.h"

namespace {

int SafeDiv(int a, int b) { return b == 0 ? 0 : a / b; }

}  // namespace

bool GImageFillsArea(const DataSet& d) { return GHasAxisImage(d); }

GDisplayGeometry GDisplayGeometryFor(const DataSet& d, int width, int height) {
  GDisplayGeometry g;
  if (GImageFillsArea(d)) {
    g.visibleColumns = d.numX;
    g.visibleRows = d.numY;
    return g;
  }
  const int w = width - 8;
  const int h = height - 8;
  const int m = d.magnification;
  const int r = std::max(1, d.reduction);
  if (m >= 1) {
    g.visibleColumns = w / m;
    g.visibleRows = h / m;
    g.pageX = w / (2 * m);
    g.pageY = h / (2 * m);
  } else {
    g.visibleColumns = w * r;
    g.visibleRows = h * r;
    g.pageX = w * r / 2;
    g.pageY = h * r / 2;
  }
  g.maxStartX = std::max(0, d.numX - g.visibleColumns);
  g.maxStartY = std::max(0, d.numY - g.visibleRows);
  g.lineX = std::max(1, g.pageX / 8);
  g.lineY = std::max(1, g.pageY / 8);
  return g;
}

int GDisplaySizeMenuItem(const DataSet& d) {
  return d.magnification >= 1 ? d.magnification + 136 : 138 - d.reduction;
}

int GMoveDisplay(int action, DataSet& d, int& status) {
  static constexpr IRoutine kR{"GMoveDisplay", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  int width = 0, height = 0;
  WDrawingAreaSize(width, height, status);
  const GDisplayGeometry g = GDisplayGeometryFor(d, width, height);
  int& sx = d.displayStartX;
  int& sy = d.displayStartY;
  switch (action) {
    case kMoveValidate:
      if (sx > g.maxStartX || sx < 0) sx = 0;
      if (sy > g.maxStartY || sy < 0) sy = 0;
      break;
    case kMovePageLeft:
      if (sx > 0) sx = std::max(0, sx - g.pageX);
      break;
    case kMovePageRight:
      if (sx < g.maxStartX) sx = std::min(g.maxStartX, sx + g.pageX);
      break;
    case kMovePageUp:
      if (sy < g.maxStartY) sy = std::min(g.maxStartY, sy + g.pageY);
      break;
    case kMovePageDown:
      if (sy > 0) sy = std::max(0, sy - g.pageY);
      break;
    case kMoveLineLeft:
      if (sx > 0) sx = std::max(0, sx - g.lineX);
      break;
    case kMoveLineRight:
      if (sx < g.maxStartX) sx = std::min(g.maxStartX, sx + g.lineX);
      break;
    case kMoveLineUp:
      if (sy < g.maxStartY) sy = std::min(g.maxStartY, sy + g.lineY);
      break;
    case kMoveLineDown:
      if (sy > 0) sy = std::max(0, sy - g.lineY);
      break;
    default:
      break;
  }
  return kTrue;
}

int GMoveDisplayX(int position, DataSet& d, int& status) {
  static constexpr IRoutine kR{"GMoveDisplayX", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  int width = 0, height = 0;
  WDrawingAreaSize(width, height, status);
  const GDisplayGeometry g = GDisplayGeometryFor(d, width, height);
  d.displayStartX = std::max(0, std::min(position, g.maxStartX));
  return kTrue;
}

int GMoveDisplayY(int position, DataSet& d, int& status) {
  static constexpr IRoutine kR{"GMoveDisplayY", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  int width = 0, height = 0;
  WDrawingAreaSize(width, height, status);
  const GDisplayGeometry g = GDisplayGeometryFor(d, width, height);
  // The vertical bar counts from the top.
  d.displayStartY = std::max(0, std::min(d.numY - (position + 1), g.maxStartY));
  return kTrue;
}

int GSetDisplayScrollbars(const DataSet& d, int& status) {
  static constexpr IRoutine kR{"GSetDisplayScrollbars", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  int width = 0, height = 0;
  WDrawingAreaSize(width, height, status);
  const int w = width - 8;
  const int h = height - 8;
  if (GImageFillsArea(d)) {
    WSetScrollbar(true, true, 0, d.numX - 1, 0, d.numX - 1, status);
    WSetScrollbar(false, true, 0, d.numY - 1, 0, d.numY - 1, status);
    return kTrue;
  }
  const bool reduced = d.magnification < 1;
  const int r = std::max(1, d.reduction);
  const long long extentX = reduced ? d.numX / r : static_cast<long long>(d.numX) * d.magnification;
  const long long extentY = reduced ? d.numY / r : static_cast<long long>(d.numY) * d.magnification;
  if (extentX > w && extentX > 0) {
    WSetScrollbar(true, true, 0, d.numX - 1, d.displayStartX,
                  static_cast<int>(static_cast<long long>(d.numX) * w / extentX), status);
  } else {
    WSetScrollbar(true, true, 0, d.numX - 1, 0, d.numX - 1, status);
  }
  if (extentY > h && extentY > 0) {
    const int page = static_cast<int>(static_cast<long long>(h) * d.numY / extentY);
    WSetScrollbar(false, true, 0, d.numY - 1, d.numY - d.displayStartY - page, page, status);
  } else {
    WSetScrollbar(false, true, 0, d.numY - 1, 0, d.numY - 1, status);
  }
  return kTrue;
}

int LVAutosetMagnification(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVAutosetMagnification", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  int width = 0, height = 0;
  WDrawingAreaSize(width, height, status);
  if (d.numX <= 0 || d.numY <= 0 || width <= 0 || height <= 0) return kFalse;
  const double e = std::min(static_cast<double>(width) / d.numX,
                            static_cast<double>(height) / d.numY);
  int v = 0;
  if (e >= 1.0) {
    v = std::min(8, GTruncate(e));
  } else {
    v = -GTruncate(1.0 / e + 0.999);
    if (v > -2) v = 1;
    if (v < -8) v = -8;
  }
  ISetDBIntItem("Image_Display_Magnification", v, status);
  if (v < 0) {
    d.magnification = 0;
    d.reduction = -v;
  } else {
    if (v == d.magnification) return kFalse;
    d.magnification = v;
  }
  GMoveDisplay(kMoveValidate, d, status);
  return kTrue;
}

int LVZoomROI(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVZoomROI", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!d.dataDefined) {
    IWarning("LVZoomROI: Data is not defined", status);
    return kFalse;
  }
  int width = 0, height = 0;
  WDrawingAreaSize(width, height, status);
  const int columns = d.endX - d.startX + 1;
  const int rows = d.endY - d.startY + 1;
  if (columns <= 0 || rows <= 0 || width <= 0 || height <= 0) return kFalse;
  const int g = width / columns;
  const int f = height / rows;
  const int fit = std::min(g, f);
  if (fit >= 9) {
    d.magnification = 8;
  } else if (fit >= 1) {
    d.magnification = fit;
  } else {
    d.magnification = 0;
    d.reduction = std::min(8, std::max(SafeDiv(columns, width), SafeDiv(rows, height)) + 1);
  }
  d.displayStartX = d.startX;
  d.displayStartY = d.startY;
  PCurrentBackend().SetMenuRadio(130, 144, GDisplaySizeMenuItem(d));
  return kTrue;
}

int LVUnZoom(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVUnZoom", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!d.dataDefined) {
    IWarning("LVUnZoom: Data is not defined", status);
    return kFalse;
  }
  if (d.numY == 1) {
    d.startX = 0;
    d.endX = d.numX - 1;
    return kTrue;
  }
  const int startX = d.startX, startY = d.startY, endX = d.endX, endY = d.endY;
  d.startX = 0;
  d.startY = 0;
  d.endX = d.numX - 1;
  d.endY = d.numY - 1;
  const int result = LVZoomROI(d, status);
  d.startX = startX;
  d.startY = startY;
  d.endX = endX;
  d.endY = endY;
  return result;
}

void LVRegisterDisplaySizeCommands() {
  LVRegisterCommand({.name = "Move_Display",
                     .work = [](LVCommandCall& call) {
                       return GMoveDisplay(call.event.value, call.main, call.status);
                     },
                     .report = false});
  LVRegisterCommand({.name = "Move_X", .work = [](LVCommandCall& call) {
                       return GMoveDisplayX(call.event.value, call.main, call.status);
                     }});
  LVRegisterCommand({.name = "Move_Y", .work = [](LVCommandCall& call) {
                       return GMoveDisplayY(call.event.value, call.main, call.status);
                     }});
  LVRegisterCommand({.name = "Zoom_ROI", .work = [](LVCommandCall& call) {
                       return LVZoomROI(call.main, call.status);
                     }});
  LVRegisterCommand({.name = "Unzoom", .work = [](LVCommandCall& call) {
                       return LVUnZoom(call.main, call.status);
                     }});
}
