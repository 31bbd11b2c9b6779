#include "ui/WWindow.h"

#include "core/status.h"
#include "platform/Platform.h"
#include "ui/WInfo.h"

int WWindowSize(int& width, int& height, int& status) {
  static constexpr IRoutine kR{"WWindowSize", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  PCurrentBackend().ClientSize(width, height);
  return kTrue;
}

namespace {

struct InfoPlace {
  int left = 0, top = 0, width = 0, height = 0;
  bool operator==(const InfoPlace&) const = default;
};

bool Docked(const InfoPlace& p, int clientWidth, int clientHeight) {
  return p.left <= 0 && p.left + p.width >= clientWidth && p.top + p.height >= clientHeight &&
         p.top >= kSmallestDrawingHeight && p.top < clientHeight;
}

// The information window and the client area as the last layout found them.
struct LastLayout {
  bool known = false;
  int clientWidth = 0, clientHeight = 0;
  InfoPlace info;
};
LastLayout gLast;

}  // namespace

int WDrawingAreaSize(int& width, int& height, int& status) {
  static constexpr IRoutine kR{"WDrawingAreaSize", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  PCurrentBackend().ClientSize(width, height);
  if (width < 1 || height < 1) return kTrue;
  InfoPlace info;
  if (!IInfoGetPosition(info.left, info.top, info.width, info.height, status)) return kFalse;
  // Docked and left where it was while the client area changed size (the user resized the
  // main window): it stays docked, across the new width and on the new bottom.
  if (gLast.known && info == gLast.info &&
      (width != gLast.clientWidth || height != gLast.clientHeight) &&
      Docked(info, gLast.clientWidth, gLast.clientHeight) &&
      height - info.height >= kSmallestDrawingHeight) {
    IInfoSetPosition(0, height - info.height, width, info.height, status);
  }
  // Brought inside the client area, as the next repaint draws it.
  IInfoCheckPosition(status);
  if (!IInfoGetPosition(info.left, info.top, info.width, info.height, status)) return kFalse;
  gLast = {true, width, height, info};
  if (Docked(info, width, height)) height = info.top;
  return kTrue;
}

bool WInfoWindowDocked() {
  int width = 0, height = 0, status = kStatusGood;
  PCurrentBackend().ClientSize(width, height);
  InfoPlace info;
  return IInfoGetPosition(info.left, info.top, info.width, info.height, status) &&
         Docked(info, width, height);
}

bool WDockInfoWindow(int& status) {
  int width = 0, height = 0;
  PCurrentBackend().ClientSize(width, height);
  InfoPlace info;
  if (!IInfoGetPosition(info.left, info.top, info.width, info.height, status)) return false;
  if (width < 1 || height - info.height < kSmallestDrawingHeight) return false;
  return IInfoSetPosition(0, height - info.height, width, info.height, status);
}

WDrawingAreaClip::WDrawingAreaClip(PCanvas* canvas, bool toDrawingArea) : canvas_(canvas) {
  // Only the main window's canvas: a printed page has no information window.
  if (!canvas_ || canvas_ != PCurrentBackend().Canvas()) {
    canvas_ = nullptr;
    return;
  }
  had_ = canvas_->DrawingArea(left_, top_, right_, bottom_);
  int width = 0, height = 0, clientWidth = 0, clientHeight = 0;
  int status = kStatusGood;
  PCurrentBackend().ClientSize(clientWidth, clientHeight);
  if (toDrawingArea && WDrawingAreaSize(width, height, status) &&
      (width < clientWidth || height < clientHeight)) {
    canvas_->SetDrawingArea(0, 0, width - 1, height - 1);
  } else {
    canvas_->ClearDrawingArea();
  }
}

WDrawingAreaClip::~WDrawingAreaClip() {
  if (!canvas_) return;
  if (had_) {
    canvas_->SetDrawingArea(left_, top_, right_, bottom_);
  } else {
    canvas_->ClearDrawingArea();
  }
}

int WDrawBackground(PCanvas* canvas, int code, int& status) {
  static constexpr IRoutine kR{"WDrawBackground", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!canvas) return IFail(kR, kStatusBadHandle, status);
  const int w = canvas->Width();
  const int h = canvas->Height();
  switch (code) {
    case kBackgroundHatchWhite: canvas->FillHatch(0, 0, w, h, {255, 255, 255}, {160, 0, 0}); break;
    case kBackgroundBlack: canvas->FillRect(0, 0, w, h, {0, 0, 0}); break;
    case kBackgroundWhite: canvas->FillRect(0, 0, w, h, {255, 255, 255}); break;
    case kBackgroundHatchGrey: canvas->FillHatch(0, 0, w, h, {220, 220, 220}, {160, 0, 0}); break;
    default: return IFail(kR, kStatusIntRange1, status);
  }
  return kTrue;
}

int WCreateBitmap(PCanvas* canvas, int width, int height, int& stride, PBitmap& bitmap,
                  int& status) {
  static constexpr IRoutine kR{"WCreateBitmap", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!canvas) return IFail(kR, kStatusBadHandle, status);
  if (width <= 0) return IFail(kR, kStatusIntRange1, status);
  if (height == 0) return IFail(kR, kStatusIntRange2, status);
  if (height < 0) height = -height;
  stride = (width + 3) / 4 * 4;
  bitmap.width = width;
  bitmap.height = height;
  bitmap.stride = stride;
  try {
    bitmap.bits.assign(static_cast<std::size_t>(stride) * static_cast<std::size_t>(height) * 3, 0);
  } catch (const std::bad_alloc&) {
    IError("WCreateBitmap: Problem creating bitmap section: BITS = Null", status);
    return IFail(kR, kStatusMemory, status);
  }
  return kTrue;
}

int WBitmapToWindow(PCanvas* canvas, int x, int y, int width, int height, const PBitmap& bitmap,
                    int& status) {
  static constexpr IRoutine kR{"WBitmapToWindow", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!canvas) return IFail(kR, kStatusBadHandle, status);
  if (width <= 0) return IFail(kR, kStatusIntRange1, status);
  canvas->DrawBitmap(bitmap, x, y, width, height);
  return kTrue;
}

int WStretchBitmapToWindow(PCanvas* canvas, int sourceWidth, int sourceHeight,
                           const PBitmap& bitmap, int x, int y, int width, int height,
                           int& status) {
  static constexpr IRoutine kR{"WStretchBitmapToWindow", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (!canvas) return IFail(kR, kStatusBadHandle, status);
  if (sourceWidth <= 0 || width <= 0) return IFail(kR, kStatusIntRange1, status);
  canvas->StretchBitmap(bitmap, sourceWidth, sourceHeight, x, y, width, height);
  return kTrue;
}

int WSetScrollbar(bool horizontal, bool apply, int minimum, int maximum, int position, int page,
                  int& status) {
  static constexpr IRoutine kR{"WSetScrollbar", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (apply) PCurrentBackend().SetScrollbar(horizontal, minimum, maximum, position, page);
  return kTrue;
}

int WGetScrollbar(bool horizontal, int& minimum, int& maximum, int& position, int& page,
                  int& status) {
  static constexpr IRoutine kR{"WGetScrollbar", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  PCurrentBackend().GetScrollbar(horizontal, minimum, maximum, position, page);
  return kTrue;
}

namespace {
WPaintRoutine gPaint = nullptr;
}  // namespace

void WSetPaintRoutine(WPaintRoutine routine) { gPaint = routine; }

int WDrawWindow(int& status) {
  static constexpr IRoutine kR{"WDrawWindow", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!PCurrentBackend().HasMainWindow()) return kFalse;
  const int result = gPaint ? gPaint(status) : kTrue;
  PCurrentBackend().Present();
  return result;
}
