#include "graphics/GSpyGlass.h"

#include <algorithm>

#include "core/database.h"
#include "core/status.h"
#include "graphics/GDisplaySettings.h"
#include "graphics/GRender.h"
#include "ui/WDraw.h"
#include "ui/WWindow.h"

namespace {

struct SpyGlass {
  int left = 10, top = 10, right = 210, bottom = 210;
  int visible = kFalse;
  int drawn = kFalse;
  int centreX = 110, centreY = 110;
  PCanvas* canvas = nullptr;
  bool dragging = false;
  int pressX = 0, pressY = 0;
  int dragMode = kSpyGlassNone;
  RubberShape rubber;
};
SpyGlass gGlass;

constexpr PColour kFrame{121, 0, 138};
constexpr PColour kLight{188, 101, 238};
constexpr int kMagnification = 9;

int Edges(int& left, int& top, int& right, int& bottom, int dx, int dy) {
  left = gGlass.left;
  top = gGlass.top;
  right = gGlass.right;
  bottom = gGlass.bottom;
  const int mode = gGlass.dragMode;
  if (mode == kSpyGlassMove) {
    left += dx, right += dx, top += dy, bottom += dy;
    return kTrue;
  }
  if (mode == kSpyGlassTop || mode == kSpyGlassTopLeft || mode == kSpyGlassTopRight) top += dy;
  if (mode == kSpyGlassBottom || mode == kSpyGlassBottomLeft || mode == kSpyGlassBottomRight)
    bottom += dy;
  if (mode == kSpyGlassLeft || mode == kSpyGlassTopLeft || mode == kSpyGlassBottomLeft)
    left += dx;
  if (mode == kSpyGlassRight || mode == kSpyGlassTopRight || mode == kSpyGlassBottomRight)
    right += dx;
  return kTrue;
}

void Store(int& status) {
  ISetDBIntItem("SpyGlass_StartX", gGlass.left, status);
  ISetDBIntItem("SpyGlass_StartY", gGlass.top, status);
  ISetDBIntItem("SpyGlass_EndX", gGlass.right, status);
  ISetDBIntItem("SpyGlass_EndY", gGlass.bottom, status);
}

}  // namespace

void GSpyGlassReset() { gGlass = SpyGlass{}; }

int GSpyGlassCreate(int left, int top, int width, int height, int& status) {
  static constexpr IRoutine kR{"GSpyGlassCreate", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  // The first value out of range is repaired and the later ones are taken as they are.
  auto bad = [](int v) { return v < 0 || v > 10000; };
  if (bad(left)) {
    left = 0;
  } else if (bad(top)) {
    top = 0;
  } else if (bad(width)) {
    width = 20;
  } else if (bad(height)) {
    height = 20;
  }
  // A later value left out of range would make an unusable frame: give it the same repair.
  if (bad(top)) top = 0;
  if (bad(width) || width < 1) width = 20;
  if (bad(height) || height < 1) height = 20;
  gGlass.left = left;
  gGlass.top = top;
  gGlass.right = left + width - 1;
  gGlass.bottom = top + height - 1;
  GSpyGlassCheckPosition(status);
  gGlass.visible = kTrue;
  return kTrue;
}

int GSpyGlassStart(int& status) {
  static constexpr IRoutine kR{"GSpyGlassStart", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  int left = gGlass.left, top = gGlass.top, right = gGlass.right, bottom = gGlass.bottom;
  IGetDBIntItem("SpyGlass_StartX", left, status);
  IGetDBIntItem("SpyGlass_StartY", top, status);
  IGetDBIntItem("SpyGlass_EndX", right, status);
  IGetDBIntItem("SpyGlass_EndY", bottom, status);
  GSpyGlassCreate(left, top, right - left + 1, bottom - top + 1, status);
  return ISetDBBooleanItem("SpyGlass_On", kTrue, status);
}

int GSpyGlassStop(int& status) {
  gGlass.visible = kFalse;
  gGlass.drawn = kFalse;
  return ISetDBBooleanItem("SpyGlass_On", kFalse, status);
}

int GSpyGlassDestroy(int&) {
  gGlass.visible = kFalse;
  gGlass.drawn = kFalse;
  return kTrue;
}

int GSpyGlassShown() { return gGlass.visible; }
void GSpyGlassNotDrawn() { gGlass.drawn = kFalse; }
void GSpyGlassCentre(int& x, int& y) {
  x = gGlass.centreX;
  y = gGlass.centreY;
}

int GSpyGlassCheckPosition(int& status) {
  static constexpr IRoutine kR{"GSpyGlassCheckPosition", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  int width = 0, height = 0;
  PCurrentBackend().ClientSize(width, height);
  if (width < 1 || height < 1) return kTrue;
  const int w = gGlass.right - gGlass.left + 1, h = gGlass.bottom - gGlass.top + 1;
  if (gGlass.left < 0) {
    gGlass.left = 0;
    gGlass.right = std::min(w - 1, width - 1);
  }
  if (gGlass.top < 0) {
    gGlass.top = 0;
    gGlass.bottom = std::min(h - 1, height - 1);
  }
  if (gGlass.right > width) {
    gGlass.right = width - 1;
    gGlass.left = std::max(0, width - w);
  }
  if (gGlass.bottom > height) {
    gGlass.bottom = height - 1;
    gGlass.top = std::max(0, height - h);
  }
  return kTrue;
}

int GSpyGlassGetPosition(int& left, int& top, int& width, int& height, int& status) {
  static constexpr IRoutine kR{"GSpyGlassGetPosition", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  left = gGlass.left;
  top = gGlass.top;
  width = gGlass.right - gGlass.left + 1;
  height = gGlass.bottom - gGlass.top + 1;
  return kTrue;
}

int GSpyGlassDraw(PCanvas* canvas, int& status) {
  static constexpr IRoutine kR{"GSpyGlassDraw", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!gGlass.visible) {
    gGlass.drawn = kFalse;
    return kTrue;
  }
  if (!canvas) return IFail(kR, kStatusBadHandle, status);
  gGlass.canvas = canvas;
  GSpyGlassCheckPosition(status);
  const int l = gGlass.left, t = gGlass.top, r = gGlass.right, b = gGlass.bottom;
  canvas->PushState();
  canvas->FillRect(l, t, r, b, {255, 255, 255});
  canvas->FillRect(l, t, r, t + 5, kFrame);
  canvas->FillRect(l, b - 5, r, b, kFrame);
  canvas->FillRect(l, t, l + 5, b, kFrame);
  canvas->FillRect(r - 5, t, r, b, kFrame);
  canvas->SelectStockBlackPen();
  WDrawLine(canvas, l, b, r, b, status);
  WDrawLine(canvas, r, t, r, b, status);
  WDrawLine(canvas, l + 5, t + 5, r - 5, t + 5, status);
  WDrawLine(canvas, l + 5, t + 5, l + 5, b - 5, status);
  canvas->SetPen(1, kLight);
  WDrawLine(canvas, l, t, r, t, status);
  WDrawLine(canvas, l, t, l, b + 1, status);
  WDrawLine(canvas, l + 6, b - 5, r - 5, b - 5, status);
  WDrawLine(canvas, r - 5, t + 6, r - 5, b - 5, status);
  canvas->PopState();
  gGlass.drawn = kTrue;
  return kTrue;
}

int GSpyGlassUpdate(int column, int row, const DataSet& d, int& status) {
  static constexpr IRoutine kR{"GSpyGlassUpdate", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!gGlass.visible) return kTrue;
  PCanvas* canvas = PCurrentBackend().Canvas();
  if (!canvas) return IFail(kR, kStatusBadHandle, status);
  const int l = gGlass.left, t = gGlass.top, r = gGlass.right, b = gGlass.bottom;
  canvas->FillRect(l + 6, t + 6, r - 6, b - 6, {255, 255, 255});
  gGlass.centreX = (l + r + 1) / 2;
  gGlass.centreY = (t + b + 1) / 2;
  if (d.dataDefined && d.data && d.numX > 0 && d.numY > 0) {
    column = std::clamp(column, 0, d.numX - 1);
    row = std::clamp(row, 0, d.numY - 1);
    const int hx = std::max(0, ((r - l - 11) / kMagnification - 1) / 2);
    const int hy = std::max(0, ((b - t - 11) / kMagnification - 1) / 2);
    const int x0 = std::max(0, column - hx), x1 = std::min(d.numX - 1, column + hx);
    const int y0 = std::max(0, row - hy), y1 = std::min(d.numY - 1, row + hy);
    // Its own automatic linear range over the unmasked pixels of the view.
    float minimum = 0.0f, maximum = 0.0f;
    bool any = false;
    for (int y = y0; y <= y1; ++y) {
      for (int x = x0; x <= x1; ++x) {
        const std::size_t index = IIndex(d, x, y);
        if (d.maskInUse && d.mask && d.mask[index]) continue;
        const float v = d.data[index];
        if (!any || v < minimum) minimum = v;
        if (!any || v > maximum) maximum = v;
        any = true;
      }
    }
    const int width = (x1 - x0 + 1) * kMagnification, height = (y1 - y0 + 1) * kMagnification;
    PBitmap bitmap;
    int stride = 0;
    if (!WCreateBitmap(canvas, width, height, stride, bitmap, status)) return kFalse;
    const auto& colours = GDisplay().colours;
    const GRGB maskColour = GDisplay().maskColour;
    for (int j = 0; j < height; ++j) {
      std::uint8_t* out = bitmap.Row(j);
      const int y = y0 + j / kMagnification;
      for (int i = 0; i < width; ++i) {
        const std::size_t index = IIndex(d, x0 + i / kMagnification, y);
        const bool masked = d.maskInUse && d.mask && d.mask[index];
        const GRGB c = masked ? maskColour
                              : colours[static_cast<std::size_t>(
                                    GLinearIndex(d.data[index], minimum, maximum, false))];
        out[i * 3] = c.blue;
        out[i * 3 + 1] = c.green;
        out[i * 3 + 2] = c.red;
      }
    }
    // The centre pixel's 9 x 9 block sits on the centre; near the image border the view is cut.
    const int bitmapLeft = gGlass.centreX + (x0 - column) * kMagnification - 4;
    const int bitmapTop = gGlass.centreY + (row - y1) * kMagnification - 4;
    canvas->PushState();
    canvas->SetClip(l + 6, t + 6, r - 6, b - 6);
    WBitmapToWindow(canvas, bitmapLeft, bitmapTop, width, height, bitmap, status);
    canvas->PopState();
  }
  canvas->PushState();
  canvas->SetClip(l + 6, t + 6, r - 6, b - 6);
  WDrawInvertedLine(canvas, gGlass.centreX, t + 6, gGlass.centreX, b - 5, status);
  WDrawInvertedLine(canvas, l + 6, gGlass.centreY, r - 5, gGlass.centreY, status);
  canvas->PopState();
  PCurrentBackend().Present();
  return kTrue;
}

int GSpyGlassMoveRegion(const PMouseEvent& m, int& redraw, int& status) {
  static constexpr IRoutine kR{"GSpyGlassMoveRegion", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!gGlass.drawn) return kFalse;
  const bool inside = m.x >= gGlass.left && m.x <= gGlass.right && m.y >= gGlass.top &&
                      m.y <= gGlass.bottom;
  switch (m.kind) {
    case PMouseKind::kLeftDown:
    case PMouseKind::kRightDown: {
      WInitRubberBox(gGlass.rubber);
      gGlass.pressX = m.x;
      gGlass.pressY = m.y;
      if (!gGlass.visible || !inside) return kFalse;
      const bool left = m.x <= gGlass.left + 5, right = m.x >= gGlass.right - 5;
      const bool top = m.y <= gGlass.top + 5, bottom = m.y >= gGlass.bottom - 5;
      int mode = kSpyGlassMove;
      if (bottom) {
        mode = left ? kSpyGlassBottomLeft : right ? kSpyGlassBottomRight : kSpyGlassBottom;
      } else if (top) {
        mode = left ? kSpyGlassTopLeft : right ? kSpyGlassTopRight : kSpyGlassTop;
      } else if (left) {
        mode = kSpyGlassLeft;
      } else if (right) {
        mode = kSpyGlassRight;
      }
      gGlass.dragMode = mode;
      gGlass.dragging = true;
      return kTrue;
    }
    case PMouseKind::kMove: {
      if (!gGlass.dragging) return gGlass.visible && inside ? kTrue : kFalse;
      int l, t, r, b;
      Edges(l, t, r, b, m.x - gGlass.pressX, m.y - gGlass.pressY);
      if (PCanvas* canvas = PCurrentBackend().Canvas()) {
        WDrawRubberBox(canvas, l, t, r, b, gGlass.rubber, status);
        PCurrentBackend().Present();
      }
      return kTrue;
    }
    case PMouseKind::kLeftUp:
    case PMouseKind::kRightUp: {
      if (!gGlass.dragging) return kFalse;
      gGlass.dragging = false;
      int l, t, r, b;
      Edges(l, t, r, b, m.x - gGlass.pressX, m.y - gGlass.pressY);
      if (gGlass.dragMode == kSpyGlassMove) {
        gGlass.left = l, gGlass.top = t, gGlass.right = r, gGlass.bottom = b;
        GSpyGlassCheckPosition(status);
        Store(status);
      } else if (l < r - 16 && r > l + 16 && t < b - 16 && b > t + 16) {
        // An edge change never makes the glass 16 pixels or less across.
        gGlass.left = l, gGlass.top = t, gGlass.right = r, gGlass.bottom = b;
      }
      gGlass.dragMode = kSpyGlassNone;
      redraw = kTrue;
      return kTrue;
    }
    default:
      return kFalse;
  }
}

int GSpyGlassCoordinate(int column, int row, const DataSet&, int clickX, int clickY, float& x,
                        float& y, int& status) {
  static constexpr IRoutine kR{"GSpyGlassCoordinate", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (!gGlass.visible || clickX < gGlass.left || clickX > gGlass.right || clickY < gGlass.top ||
      clickY > gGlass.bottom) {
    return kFalse;
  }
  // Nine screen pixels a data pixel; the centre is the middle of the first click's pixel, and
  // screen rows grow downwards where data rows grow upwards.
  x = static_cast<float>((clickX - gGlass.centreX) * 0.11111111 + column + 0.5);
  y = static_cast<float>(row - (clickY - gGlass.centreY) * 0.11111111 + 0.5);
  return kTrue;
}

int LVToggleSpyGlass(int& status) {
  static constexpr IRoutine kR{"LVToggleSpyGlass", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  PBackend& backend = PCurrentBackend();
  if (!gGlass.visible) {
    GSpyGlassStart(status);
    backend.SetMenuItemChecked(250, true);
  } else {
    GSpyGlassDestroy(status);
    backend.SetMenuItemChecked(250, false);
  }
  return ISetDBBooleanItem("SpyGlass_On", gGlass.visible, status);
}
