#include "app/LVMouse.h"

#include <algorithm>
#include <string>

#include "core/status.h"
#include "data/Experiment.h"
#include "graphics/GDisplaySize.h"
#include "graphics/GGraph.h"
#include "graphics/GGraphics.h"
#include "graphics/GOverlay.h"
#include "graphics/GSpyGlass.h"
#include "app/LVPlotData.h"
#include "maths/MGeometry.h"
#include "platform/Platform.h"
#include "ui/LVCommandRegistry.h"
#include "ui/WDraw.h"
#include "ui/WInfo.h"
#include "ui/WWindow.h"

namespace {

// Images and graphs keep separate drag states: a drag that starts on one kind of data and
// ends on the other (the data set changed meanwhile) does not mix their anchors.
struct ImageDrag {
  bool dragging = false;
  int anchorColumn = 0, anchorRow = 0;
};
struct ScanDrag {
  bool dragging = false;
  int anchorX = 0, anchorY = 0;
};
ImageDrag gImage;
ScanDrag gScan;
RubberShape gScanBox;

constexpr double kDegrees = 57.29578;

PCanvas* Dc(const char* failure, int& status) {
  PBackend& backend = PCurrentBackend();
  PCanvas* canvas = backend.HasMainWindow() ? backend.Canvas() : nullptr;
  if (!canvas) IError(failure, status);
  return canvas;
}

void Pan(int action, DataSet& d, int& status) {
  if (GMoveDisplay(action, d, status)) WDrawWindow(status);
}

// A drag beyond the client area pans one line towards the edge the pointer left by.
int EdgePan(int hitCode) {
  switch (hitCode) {
    case 2: case 12: case 13: case 14: return kMovePageUp;
    case 6: case 15: case 16: case 17: return kMovePageDown;
    case 7: case 11: return kMovePageRight;
    case 10: return kMovePageLeft;
    default: return 0;
  }
}

// The box of a drag over a graph, inside the drawing area.
void DrawScanBox(PCanvas* canvas, int x, int y, int& status) {
  WDrawingAreaClip clip(canvas);
  WDrawRubberBox(canvas, gScan.anchorX, gScan.anchorY, x, y, gScanBox, status);
}

// A data set whose columns are bins of its own axis (a scan read from a file, a cake, a stack
// of integrated scans) says nothing about a detector: its geometry fields are not those of the
// pixels under the mouse, and X pixel size is its step.
bool OwnAxes(const DataSet& d) {
  return !d.xAxisInPixels || (d.headerGeometry & kGeometryOwnAxes) != 0u;
}

// The axis values of bin (i, j) of such a data set: the X bin's centre, and the row's azimuth
// or file number where the rows have an axis of their own (else the row counted from 1).
void OwnAxisValues(const DataSet& d, int i, int j, double& x, double& y) {
  x = d.xAxisInPixels ? i + 0.5
                      : static_cast<double>(d.xAxisStart) + i * static_cast<double>(d.pixelSizeX);
  y = GHasAxisImage(d) ? static_cast<double>(d.yAxisStart) + j * static_cast<double>(d.pixelSizeY)
                       : j + 1.0;
}

std::string RowLabel(const DataSet& d) { return GHasAxisImage(d) ? d.yLabel : "Row"; }

}  // namespace

void LVResetMouse() {
  gImage = ImageDrag{};
  gScan = ScanDrag{};
  WInitRubberBox(gScanBox);
}

int LVMouseEvent(int code, int x, int y, DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVMouseEvent", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!PCurrentBackend().HasMainWindow()) return kFalse;
  if (!Dc("LVMouseEvent: GetDc failed", status)) return kFalse;
  if (d.startX < d.endX && d.startY < d.endY) return LVMouseEvent2D(code, x, y, d, status);
  return LVMouseEvent1D(code, x, y, d, status);
}

int LVMouseEvent2D(int code, int x, int y, DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVMouseEvent2D", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  PCanvas* canvas = Dc("LVMouseEvent2D: GetDc failed", status);
  if (!canvas) return kFalse;
  RubberShape& box = LVRegionRubberBox();
  switch (code) {
    case kMouseLeftDown:
      gImage.dragging = true;
      gImage.anchorColumn = GWindowToPixelX(x, d);
      gImage.anchorRow = GWindowToPixelY(y, d);
      break;
    case kMouseMove: {
      if (gImage.dragging) {
        int width = 0, height = 0;
        WDrawingAreaSize(width, height, status);
        // The page actions run before the box so that it is drawn over the moved view.
        if (x <= 4) Pan(kMoveLineLeft, d, status);
        if (x > width - 1 - 4) Pan(kMoveLineRight, d, status);
        if (y <= 4) Pan(kMoveLineUp, d, status);
        if (y > height - 1 - 4) Pan(kMoveLineDown, d, status);
        GDrawRubberBox(canvas, gImage.anchorColumn, gImage.anchorRow, GWindowToPixelX(x, d),
                       GWindowToPixelY(y, d), d, box, status);
        PCurrentBackend().Present();
      } else {
        LVPixelInfo(kTrue, x, y, d, status);
      }
      if (GSpyGlassShown()) {
        if (!GSpyGlassDraw(canvas, status)) return kFalse;
        GSpyGlassUpdate(GWindowToPixelX(x, d), GWindowToPixelY(y, d), d, status);
      }
      break;
    }
    case kMouseLeftUp: {
      if (!gImage.dragging) break;
      const int column = GWindowToPixelX(x, d);
      const int row = GWindowToPixelY(y, d);
      if (column == gImage.anchorColumn && row == gImage.anchorRow) {
        d.startX = 0;
        d.startY = 0;
        d.endX = d.numX - 1;
        d.endY = d.numY - 1;
      } else {
        GDrawRubberBox(canvas, gImage.anchorColumn, gImage.anchorRow, column, row, d, box,
                       status);
        d.startX = std::min(column, gImage.anchorColumn);
        d.endX = std::max(column, gImage.anchorColumn);
        d.startY = std::min(row, gImage.anchorRow);
        d.endY = std::max(row, gImage.anchorRow);
        if (d.startX < 0 || d.startY < 0 || d.endX >= d.numX || d.endY >= d.numY) {
          d.startX = 0;
          d.startY = 0;
          d.endX = d.numX - 1;
          d.endY = d.numY - 1;
        }
      }
      if (column == gImage.anchorColumn && row == gImage.anchorRow) {
        GDrawRubberBox(canvas, d.startX, d.startY, d.endX, d.endY, d, box, status);
      }
      PCurrentBackend().Present();
      IInfo(IFormat("The ROI is set to (%i, %i) to (%i, %i)", d.startX, d.startY, d.endX, d.endY),
            status);
      gImage.dragging = false;
      break;
    }
    case kMouseRightDown:
      {
        WDrawingAreaClip clip(canvas);
        WDrawMarker(canvas, x, y, status);
      }
      PCurrentBackend().Present();
      LVPixelInfo(kFalse, x, y, d, status);
      break;
    case kMouseNonClientMove:
      if (gImage.dragging) {
        if (const int action = EdgePan(x)) Pan(action, d, status);
      }
      break;
    default:
      break;
  }
  return kTrue;
}

int LVMouseEvent1D(int code, int x, int y, DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVMouseEvent1D", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  PCanvas* canvas = Dc("LVMouseEvent1D: GetDc failed", status);
  if (!canvas) return kFalse;
  switch (code) {
    case kMouseLeftDown:
      gScan.dragging = true;
      gScan.anchorX = x;
      gScan.anchorY = y;
      WInitRubberBox(gScanBox);
      break;
    case kMouseMove:
      if (gScan.dragging) {
        DrawScanBox(canvas, x, y, status);
        PCurrentBackend().Present();
      } else {
        LVXYPixelInfo(x, y, d, status);
      }
      break;
    case kMouseLeftUp:
      if (!gScan.dragging) break;
      if (x == gScan.anchorX) {
        d.startX = 0;
        d.endX = d.numX - 1;
      } else {
        DrawScanBox(canvas, x, y, status);
        PCurrentBackend().Present();
        // A scan with falling abscissae has its first point at the right.
        const int from = GWindowToScanPixel(gScan.anchorX, d);
        const int to = GWindowToScanPixel(x, d);
        const int low = std::min(from, to);
        const int high = std::max(from, to);
        d.startX = std::max(0, low);
        d.endX = std::min(d.numX - 1, high);
        // A drag wholly beyond one end of the graph selects nothing sensible: keep an order.
        if (d.startX > d.endX) {
          d.startX = std::min(d.startX, d.numX - 1);
          d.endX = d.startX;
        }
      }
      gScan.dragging = false;
      break;
    default:
      break;
  }
  return kTrue;
}

int LVPixelInfo(int dynamic, int x, int y, const DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVPixelInfo", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!d.dataDefined || !d.data) return kFalse;
  const int i = GWindowToPixelX(x, d);
  const int j = GWindowToPixelY(y, d);
  if (i < 0 || j < 0 || i >= d.numX || j >= d.numY) return kFalse;
  const double value = d.data[IIndex(d, i, j)];
  if (!dynamic) IInfo(IFormat("Pixel (%i, %i), Intensity = %g", i, j, value), status);

  if (OwnAxes(d)) {
    double ax = 0.0, ay = 0.0;
    OwnAxisValues(d, i, j, ax, ay);
    const std::string axes = IFormat("%s %g, %s %g", d.xLabel.c_str(), ax,
                                     RowLabel(d).c_str(), ay);
    if (dynamic) {
      IInfoDynamic(PCurrentBackend().Canvas(),
                   IFormat("X%5i Y%5i I%8.4g ", i, j, value) + axes, status);
    } else {
      IInfo(axes, status);
    }
    return kTrue;
  }

  // The geometry of the pixel's centre: the routine takes the index and adds the half pixel.
  // A data set without a usable geometry reports the value only.
  PixelGeometry g;
  int local = kStatusGood;
  const bool known = MGeometryValid(d) &&
                     MDetector2DSpacing(d, static_cast<float>(i), static_cast<float>(j), g, local);
  // The status came in good: a failure here is this report's own and leaves no trace.
  if (local != kStatusGood) IResetStatus(local);
  if (!known) {
    if (dynamic) {
      IInfoDynamic(PCurrentBackend().Canvas(), IFormat("X%5i Y%5i I%8.4g ", i, j, value), status);
    }
    return kTrue;
  }
  if (dynamic) {
    IInfoDynamic(PCurrentBackend().Canvas(),
                 IFormat("X%5i Y%5i I%8.4g 2Th %7.4f deg Az %7.4f deg D%9.5f Ang Xcor%7.1f "
                         "Ycor%7.1f ",
                         i, j, value, g.twoTheta * kDegrees, g.azimuth * kDegrees,
                         static_cast<double>(g.dSpacing), static_cast<double>(g.correctedX),
                         static_cast<double>(g.correctedY)),
                 status);
  } else {
    IInfo(IFormat("2-theta = %f degrees, Azimuth = %f degrees, D-spacing = %f Angstroms, "
                  "Q-value = %f nm-1, X orthogonal = %7.1f Y orthogonal = %7.1f ",
                  g.twoTheta * kDegrees, g.azimuth * kDegrees, static_cast<double>(g.dSpacing),
                  static_cast<double>(g.q), static_cast<double>(g.correctedX),
                  static_cast<double>(g.correctedY)),
          status);
  }
  return kTrue;
}

int LVXYPixelInfo(int x, int y, const DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVXYPixelInfo", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (!d.dataDefined) return kFalse;
  return IInfoDynamic(PCurrentBackend().Canvas(),
                      IFormat("Position: X = %g, Y = %g", static_cast<double>(GWindowToWorldX(x)),
                              static_cast<double>(GWindowToWorldY(y))),
                      status);
}

void LVRegisterMouseCommands() {
  // Each paint draws the empty spy-glass frame over an image; the next move fills it.
  LVSetSpyGlassStep([](bool draw, int& status) {
    if (!draw) {
      GSpyGlassNotDrawn();
      return kTrue;
    }
    return GSpyGlassDraw(PCurrentBackend().Canvas(), status);
  });
  struct Row {
    const char* name;
    int code;
  };
  const Row rows[] = {{"Left_Button_Down", kMouseLeftDown}, {"Left_Button_Up", kMouseLeftUp},
                      {"Right_Button_Down", kMouseRightDown}, {"Right_Button_Up", kMouseRightUp},
                      {"Mouse_Move", kMouseMove}};
  for (const Row& row : rows) {
    LVRegisterCommand({.name = row.name, .work = [code = row.code](LVCommandCall& call) {
                         return LVMouseEvent(code, call.event.x, call.event.y, call.main,
                                             call.status);
                       }});
  }
  LVRegisterCommand({.name = "Mouse_Hit_Edge", .work = [](LVCommandCall& call) {
                       return LVMouseEvent(kMouseNonClientMove, call.event.value, call.event.y,
                                           call.main, call.status);
                     }});
  LVRegisterCommand({.name = "Pixel_Info", .work = [](LVCommandCall& call) {
                       return LVPixelInfo(kTrue, call.event.x, call.event.y, call.main,
                                          call.status);
                     }});
}
