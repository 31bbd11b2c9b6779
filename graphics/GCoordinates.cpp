#include "graphics/GCoordinates.h"

#include <optional>

#include "core/database.h"
#include "core/status.h"
#include "graphics/GGraphics.h"
#include "graphics/GSpyGlass.h"
#include "platform/Platform.h"
#include "ui/WDialogs.h"
#include "ui/WDraw.h"
#include "ui/WWindow.h"

namespace {

// One input at a time; reset at the start of each.
struct InputState {
  int twoClickMode = kFalse;
  int awaitingFirstClick = kTrue;
  bool finishPressed = false, cancelPressed = false, keyboardEntered = false;
  float keyboardX = 0.0f, keyboardY = 0.0f;
  bool startedSpyGlass = false;  // this input switched the spy-glass on and switches it off
  int firstColumn = 0, firstRow = 0;
  RubberShape box, band;
};
InputState gInput;

// The connecting lines: magenta, one pixel, so that they stand out on every colour table.
constexpr PColour kLinePen{255, 60, 200};

void Line(PCanvas* canvas, const DataSet& d, float x1, float y1, float x2, float y2,
          int& status) {
  canvas->SetPen(1, kLinePen);
  WDrawLine(canvas, GDataToWindowX(x1, d), GDataToWindowY(y1, d), GDataToWindowX(x2, d),
            GDataToWindowY(y2, d), status);
}

PClickDialog ControlDialog(const std::string& prompt, int wanted) {
  PClickDialog dialog;
  dialog.title = wanted == 1 ? "Coordinate Input Control:  " : "Coordinates Input Control: ";
  dialog.lines = {prompt, "(Enter coordinates by clicking on image.",
                  "Click on 'FINISH INPUT' button to end input.)"};
  dialog.buttons = {{kCoordinateMode,
                     gInput.twoClickMode ? "RETURN TO ONE CLICK MODE" : "ENTER TWO CLICK MODE",
                     false, "mode"},
                    {kCoordinateKeyboard, "KEYBOARD ENTRY", true, "keyboard"},
                    {kCoordinateFinish, "FINISH INPUT", true, "finish"},
                    {kCoordinateCancel, "CANCEL OPERATION", false, "cancel"}};
  dialog.widthUnits = GCoordinatesDialogWidth(static_cast<int>(prompt.size()));
  return dialog;
}

}  // namespace

int GCoordinatesDialogWidth(int n) { return n <= 54 ? 204 : n <= 64 ? 244 : n <= 69 ? 250 : 300; }

int GCoordinateAwaitingFirstClick() { return gInput.awaitingFirstClick; }

int GAddCoordinate(PCanvas* canvas, const DataSet& d, int drawLines, int rubberBox, float x,
                   float y, int& count, float* xs, float* ys, int& status) {
  static constexpr IRoutine kR{"GAddCoordinate", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (!xs || !ys || count < 0) return IFail(kR, kStatusBadHandle, status);
  xs[count] = x;
  ys[count] = y;
  if (canvas) {
    WDrawingAreaClip clip(canvas);
    if (rubberBox && count > 0) {
      WClearRubberBox(canvas, gInput.box, status);
    } else {
      WClearRubberBand(canvas, gInput.band, status);
    }
    if (drawLines && count > 0) Line(canvas, d, xs[count - 1], ys[count - 1], x, y, status);
  }
  ++count;
  return kTrue;
}

int GGetCoordinates(const CoordinateRequest& r) {
  static constexpr IRoutine kR{"GGetCoordinates", "V0.6"};
  if (IBad(kR, r.status)) return kFalse;
  int& status = r.status;
  const DataSet& d = r.dataSet;
  const int wanted = r.count;  // below 1: any number
  r.count = 0;
  // Nowhere to put a point: nothing to ask.
  if (r.maxCoordinates < 1 || !r.x || !r.y) return IFail(kR, kStatusBadHandle, status);

  gInput = InputState{};
  WInitRubberBox(gInput.box);
  WInitRubberBand(gInput.band);
  IGetDBBooleanItem("Two_Click_Mode", gInput.twoClickMode, status);

  PBackend& backend = PCurrentBackend();
  PCanvas* canvas = backend.HasMainWindow() ? backend.Canvas() : nullptr;
  if (!canvas) {
    IError("GGetCoordinates: GetDc failed", status);
    return IFail(kR, kStatusBadHandle, status);
  }
  auto startSpyGlass = [&] {
    gInput.startedSpyGlass = !GSpyGlassShown();
    if (gInput.startedSpyGlass) {
      GSpyGlassStart(status);
      WDrawWindow(status);
    }
  };
  if (gInput.twoClickMode) startSpyGlass();
  IInfo(r.prompt, status);
  canvas->PushState();  // the caller's pen comes back at the end

  auto add = [&](float x, float y) {
    if (r.count >= r.maxCoordinates) return;
    GAddCoordinate(canvas, d, r.drawLines, r.rubberBox, x, y, r.count, r.x, r.y, status);
  };
  auto ended = [&] {
    return status != kStatusGood || gInput.cancelPressed ||
           (gInput.finishPressed && wanted < 1) || (wanted >= 1 && r.count == wanted) ||
           r.count >= r.maxCoordinates;
  };

  PClickDialog dialog = ControlDialog(r.prompt, wanted);
  const bool ran = backend.ClickInput(dialog, [&](const PClickEvent& event) {
    switch (event.kind) {
      case PClickKind::kMove:
        // Between the two clicks the spy-glass holds its view for the second click.
        if (gInput.awaitingFirstClick && GSpyGlassShown()) {
          GSpyGlassUpdate(GWindowToPixelX(event.x, d), GWindowToPixelY(event.y, d), d, status);
        }
        if (gInput.awaitingFirstClick && r.count > 0) {
          const int lastX = GDataToWindowX(r.x[r.count - 1], d);
          const int lastY = GDataToWindowY(r.y[r.count - 1], d);
          WDrawingAreaClip clip(canvas);
          if (r.rubberBox) {
            WDrawRubberBox(canvas, lastX, lastY, event.x, event.y, gInput.box, status);
          } else if (r.drawLines) {
            WDrawRubberBand(canvas, lastX, lastY, event.x, event.y, gInput.band, status);
          }
          backend.Present();
        }
        break;
      case PClickKind::kPress: {
        // A scripted click names its place in data coordinates; the window takes it as the
        // press on the pixel drawn there.
        const int x = event.dataGiven ? GDataToWindowX(event.dataX, d) : event.x;
        const int y = event.dataGiven ? GDataToWindowY(event.dataY, d) : event.y;
        if (!gInput.awaitingFirstClick) {
          float px = 0.0f, py = 0.0f;
          if (!GSpyGlassCoordinate(gInput.firstColumn, gInput.firstRow, d, x, y, px, py,
                                   status)) {
            IWarning("Now you must click within the spy-glass. (You're in 'TWO CLICK' mode)",
                     status);
            break;
          }
          if (r.drawMarkers) {
            WDrawingAreaClip clip(canvas);
            WDrawMarker(canvas, x, y, status);
            WDrawMarker(canvas, GDataToWindowX(px, d), GDataToWindowY(py, d), status);
          }
          add(px, py);
          gInput.awaitingFirstClick = kTrue;
          backend.Present();
          break;
        }
        if (r.drawMarkers) {
          WDrawingAreaClip clip(canvas);
          WDrawMarker(canvas, x, y, status);
        }
        const int column = GWindowToPixelX(x, d), row = GWindowToPixelY(y, d);
        if (gInput.twoClickMode && GSpyGlassShown()) {
          gInput.awaitingFirstClick = kFalse;
          gInput.firstColumn = column;
          gInput.firstRow = row;
          GSpyGlassUpdate(column, row, d, status);
        } else if (event.dataGiven) {
          // A scripted click names the point itself.
          add(event.dataX, event.dataY);
        } else {
          // The point the user pointed at: the middle of the data under the screen pixel, not
          // the corner of the first pixel there (half a pixel low-left even at magnification
          // 1, more when the image is reduced).
          add(GWindowToPointX(x, d), GWindowToPointY(y, d));
        }
        backend.Present();
        break;
      }
      case PClickKind::kButton:
        if (event.id == kCoordinateFinish) gInput.finishPressed = true;
        if (event.id == kCoordinateCancel) gInput.cancelPressed = true;
        if (event.id == kCoordinateMode) {
          gInput.twoClickMode = gInput.twoClickMode ? kFalse : kTrue;
          gInput.awaitingFirstClick = kTrue;
          if (gInput.twoClickMode) {
            startSpyGlass();
          } else if (gInput.startedSpyGlass) {
            GSpyGlassStop(status);
            gInput.startedSpyGlass = false;
            WDrawWindow(status);
          }
          dialog.buttons[0].label =
              gInput.twoClickMode ? "RETURN TO ONE CLICK MODE" : "ENTER TWO CLICK MODE";
        }
        if (event.id == kCoordinateKeyboard) {
          float x = 0.0f, y = 0.0f;
          if (WGetReal({"ENTER X-PIXEL COORDINATE", kFalse, kFalse, 0.0f, 0.0f, x, status}) &&
              WGetReal({"ENTER Y-PIXEL COORDINATE", kFalse, kFalse, 0.0f, 0.0f, y, status})) {
            gInput.keyboardEntered = true;
            gInput.keyboardX = x;
            gInput.keyboardY = y;
          }
        }
        break;
    }
    if (gInput.keyboardEntered) {
      // Typed values are taken as they are: no pixel-centre offset.
      if (r.drawMarkers) {
        WDrawingAreaClip clip(canvas);
        WDrawMarker(canvas, GDataToWindowX(gInput.keyboardX, d),
                    GDataToWindowY(gInput.keyboardY, d), status);
      }
      add(gInput.keyboardX, gInput.keyboardY);
      gInput.keyboardEntered = false;
      backend.Present();
    }
    return !ended();
  });

  gInput.awaitingFirstClick = kTrue;
  std::optional<WDrawingAreaClip> clip(std::in_place, canvas);
  if (r.drawLines || r.rubberBox) {
    WClearRubberBox(canvas, gInput.box, status);
    WClearRubberBand(canvas, gInput.band, status);
  }
  if (r.drawLines && r.closePolygon && r.count > 2) {
    Line(canvas, d, r.x[r.count - 1], r.y[r.count - 1], r.x[0], r.y[0], status);
  }
  clip.reset();
  canvas->PopState();
  if (gInput.startedSpyGlass) {
    int local = kStatusGood;
    GSpyGlassStop(local);
    gInput.startedSpyGlass = false;
  }
  backend.Present();
  int local = kStatusGood;
  ISetDBBooleanItem("Two_Click_Mode", gInput.twoClickMode, local);
  if (!ran) {
    IError("GGetCoordsDraw: CreateDialog failed", status);
    return IFail(kR, kStatusBadHandle, status);
  }
  if (status != kStatusGood) return kFalse;
  return gInput.cancelPressed ? kFalse : kTrue;
}

int GGetCoordinate(const DataSet& d, const std::string& prompt, int drawMarker, float& x,
                   float& y, int& status) {
  static constexpr IRoutine kR{"GGetCoordinate", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  int count = 1;
  float xs[1] = {x}, ys[1] = {y};
  const int result = GGetCoordinates(
      {d, prompt, drawMarker, kFalse, kFalse, kFalse, 1, count, xs, ys, status});
  if (count > 0) {
    x = xs[0];
    y = ys[0];
  }
  return result && count > 0 ? kTrue : kFalse;
}
