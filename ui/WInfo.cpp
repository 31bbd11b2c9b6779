#include "ui/WInfo.h"

#include <algorithm>
#include <array>

#include "core/status.h"
#include "platform/Platform.h"
#include "ui/WDraw.h"

namespace {

constexpr PColour kTextBackground{230, 240, 255};
constexpr PColour kFrame{121, 0, 138};
constexpr PColour kBevel{188, 100, 238};
constexpr PColour kBlack{0, 0, 0};
constexpr int kRowHeight = 16;
constexpr int kCharacterWidth = 8;
constexpr int kBorder = 5;     // frame width, and the band in which a grab takes an edge
constexpr int kSmallest = 16;  // a resized rectangle stays more than this wide and high

// Which edges a grab moves.
enum Edge : int { kLeft = 1, kRight = 2, kTop = 4, kBottom = 8, kInterior = 15 };

struct InfoWindow {
  std::array<std::string, kInfoRingSize> lines;
  int newest = -1;
  int held = 0;
  // A line has been added since the last live report, so the next one starts a new line.
  bool newLine = true;

  int left = 0, top = 500, right = 799, bottom = 599;
  std::string title;
  bool fontChecked = false;
  bool ownFont = true;

  PCanvas* canvas = nullptr;  // the back-buffer of the last repaint

  bool grabbed = false;
  int edges = 0;
  int downX = 0, downY = 0;
  RubberShape rubber;
};

InfoWindow& Info() {
  static InfoWindow info;
  return info;
}

// The remembered canvas while it is still the main window's; a back-buffer replaced since
// (a resize) is not drawn into until the next repaint.
PCanvas* LiveCanvas() {
  InfoWindow& w = Info();
  if (!w.canvas) return nullptr;
  if (w.canvas != PCurrentBackend().Canvas()) {
    w.canvas = nullptr;
  }
  return w.canvas;
}

std::string& Newest() { return Info().lines[static_cast<std::size_t>(Info().newest)]; }

int CharactersPerRow() {
  const InfoWindow& w = Info();
  return (w.right - w.left - 13) / kCharacterWidth;
}

int RowsOf(const std::string& line, int perRow) {
  return static_cast<int>(line.size()) / perRow + 1;
}

// The text settings every text drawing starts from; the caller restores the canvas.
void PrepareText(PCanvas* canvas) {
  const InfoWindow& w = Info();
  // Always its own face, size and angle: the canvas may come from a rotated graph label.
  canvas->SelectFixedFont(kRowHeight);
  canvas->SetTextAlign(PAlignH::kLeft, PAlignV::kTop);
  canvas->SetClip(w.left + 6, w.top + 6, w.right - 6, w.bottom - 6);
}

// Draws the rows of one line upwards from the row whose top is rowTop; returns the top of the
// row above the last drawn, and false when the top edge was reached.
bool DrawLineRows(PCanvas* canvas, const std::string& line, int perRow, int& rowTop) {
  const InfoWindow& w = Info();
  for (int row = RowsOf(line, perRow) - 1; row >= 0; --row) {
    if (rowTop < w.top) return false;
    const std::size_t from = static_cast<std::size_t>(row) * static_cast<std::size_t>(perRow);
    const std::string piece =
        from < line.size() ? line.substr(from, static_cast<std::size_t>(perRow)) : std::string();
    if (!piece.empty()) canvas->Text(w.left + 8, rowTop, piece, kBlack, true, kTextBackground);
    rowTop -= kRowHeight;
  }
  return true;
}

void DrawText(PCanvas* canvas) {
  const InfoWindow& w = Info();
  canvas->PushState();
  canvas->ClearClip();
  if (w.right - 6 >= w.left + 6 && w.bottom - 6 >= w.top + 6) {
    canvas->FillRect(w.left + 6, w.top + 6, w.right - 5, w.bottom - 5, kTextBackground);
  }
  PrepareText(canvas);
  const int perRow = CharactersPerRow();
  if (perRow > 0) {
    int rowTop = w.bottom - 24;
    for (int k = 0; k < w.held; ++k) {
      const int index = (w.newest - k + kInfoRingSize) % kInfoRingSize;
      if (!DrawLineRows(canvas, w.lines[static_cast<std::size_t>(index)], perRow, rowTop)) break;
    }
  }
  canvas->PopState();
}

// Redraws only the newest line in the rows it occupies.
void DrawNewest(PCanvas* canvas) {
  const InfoWindow& w = Info();
  const int perRow = CharactersPerRow();
  if (perRow <= 0 || w.newest < 0) return;
  const std::string& line = w.lines[static_cast<std::size_t>(w.newest)];
  canvas->PushState();
  PrepareText(canvas);
  const int rows = RowsOf(line, perRow);
  canvas->FillRect(w.left + 6, w.bottom - 24 - (rows - 1) * kRowHeight, w.right - 5,
                   w.bottom - 24 + kRowHeight, kTextBackground);
  int rowTop = w.bottom - 24;
  DrawLineRows(canvas, line, perRow, rowTop);
  canvas->PopState();
}

void Append(const std::string& text) {
  InfoWindow& w = Info();
  w.newest = (w.newest + 1) % kInfoRingSize;
  Newest() = text.size() > kLineLength ? text.substr(0, kLineLength) : text;
  if (w.held < kInfoRingSize) ++w.held;
  w.newLine = true;
  PCurrentBackend().InfoLine(Newest());
}

void Line(PCanvas* canvas, int x1, int y1, int x2, int y2) {
  const PPoint points[2] = {{x1, y1}, {x2, y2}};
  canvas->PolyLine(points, 2);
}

// The rectangle with the grabbed edges moved by (dx, dy), without limits.
void Moved(int dx, int dy, int& left, int& top, int& right, int& bottom) {
  const InfoWindow& w = Info();
  left = w.left + ((w.edges & kLeft) ? dx : 0);
  right = w.right + ((w.edges & kRight) ? dx : 0);
  top = w.top + ((w.edges & kTop) ? dy : 0);
  bottom = w.bottom + ((w.edges & kBottom) ? dy : 0);
}

bool Inside(int x, int y) {
  const InfoWindow& w = Info();
  return x >= w.left && x <= w.right && y >= w.top && y <= w.bottom;
}

}  // namespace

int IInfoCreateWindow(const std::string& title, int left, int top, int width, int height,
                      int& status) {
  static constexpr IRoutine kR{"IInfoCreateWindow", "V0.5"};
  if (IBad(kR, status)) return kFalse;
  InfoWindow& w = Info();
  if (left < 0 || left > 10000) left = 0;
  if (top < 0 || top > 10000) top = 0;
  if (width < 0 || width > 10000) width = 100;
  if (height < 0 || height > 10000) height = 100;
  w.title = title;
  w.left = left;
  w.top = top;
  w.right = left + width - 1;
  w.bottom = top + height - 1;
  IInfoCheckPosition(status);
  w.newest = -1;
  w.held = 0;
  w.newLine = true;
  if (!w.fontChecked) {
    ICheckSystemError("IInfoCreateWindow: Before CreateFont", status);
    if (PCanvas* canvas = PCurrentBackend().Canvas()) {
      w.fontChecked = true;
      canvas->PushState();
      w.ownFont = canvas->SelectFixedFont(kRowHeight);
      canvas->PopState();
    }
    ICheckSystemError("IInfoCreateWindow: After CreateFont", status);
    if (!w.ownFont) {
      IWarning("IInfoCreateWindow: Failed to create 16 point horizontal font", status);
    }
  }
  return status == kStatusGood ? kTrue : kFalse;
}

int IInfoAddLine(const std::string& text, int& status) {
  static constexpr IRoutine kR{"IInfoAddLine", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  Append(text);
  IInfoDrawText(status);
  return kTrue;
}

int IInfoDynamic(PCanvas* canvas, const std::string& text, int& status) {
  static constexpr IRoutine kR{"IInfoDynamic", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  InfoWindow& w = Info();
  if (w.newLine || w.newest < 0) {
    IInfoAddLine(text, status);
    w.newLine = false;
    return kTrue;
  }
  const int perRow = std::max(1, CharactersPerRow());
  const int rowsBefore = RowsOf(Newest(), perRow);
  Newest() = text.size() > kLineLength ? text.substr(0, kLineLength) : text;
  if (!canvas) return kTrue;
  // A live line that now wraps to another number of rows moves the lines above it.
  if (RowsOf(Newest(), perRow) != rowsBefore) {
    DrawText(canvas);
  } else {
    DrawNewest(canvas);
  }
  PCurrentBackend().Present();
  return kTrue;
}

int IInfoDraw(PCanvas* canvas, int& status) {
  static constexpr IRoutine kR{"IInfoDraw", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  if (!canvas) return IFail(kR, kStatusBadHandle, status);
  InfoWindow& w = Info();
  w.canvas = canvas;
  IInfoCheckPosition(status);
  const int l = w.left, t = w.top, r = w.right, b = w.bottom;
  canvas->PushState();
  canvas->ClearClip();
  canvas->FillRect(l, t, r + 1, t + kBorder, kFrame);
  canvas->FillRect(l, b + 1 - kBorder, r + 1, b + 1, kFrame);
  canvas->FillRect(l, t, l + kBorder, b + 1, kFrame);
  canvas->FillRect(r + 1 - kBorder, t, r + 1, b + 1, kFrame);
  // Light from the top left: dark outer bottom and right and inner top and left edges.
  canvas->SelectStockBlackPen();
  Line(canvas, l, b, r + 1, b);
  Line(canvas, r, t, r, b + 1);
  Line(canvas, l + kBorder, t + kBorder, r - kBorder + 1, t + kBorder);
  Line(canvas, l + kBorder, t + kBorder, l + kBorder, b - kBorder + 1);
  canvas->SetPen(1, kBevel);
  Line(canvas, l, t, r, t);
  Line(canvas, l, t, l, b);
  Line(canvas, l + kBorder + 1, b - kBorder, r - kBorder + 1, b - kBorder);
  Line(canvas, r - kBorder, t + kBorder + 1, r - kBorder, b - kBorder);
  canvas->PopState();
  DrawText(canvas);
  return kTrue;
}

int IInfoDrawText(int& status) {
  static constexpr IRoutine kR{"IInfoDrawText", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  PCanvas* canvas = LiveCanvas();
  if (!canvas) return kFalse;
  DrawText(canvas);
  // A line written in the middle of a long command is seen at once.
  PCurrentBackend().Present();
  return kTrue;
}

int IInfoCheckPosition(int& status) {
  static constexpr IRoutine kR{"IInfoCheckPosition", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  int clientWidth = 0, clientHeight = 0;
  PCurrentBackend().ClientSize(clientWidth, clientHeight);
  if (clientWidth < 1 || clientHeight < 1) return kTrue;
  InfoWindow& w = Info();
  const int width = w.right - w.left + 1;
  const int height = w.bottom - w.top + 1;
  if (w.left < 0) {
    w.left = 0;
    w.right = std::min(width - 1, clientWidth - 1);
  }
  if (w.top < 0) {
    w.top = 0;
    w.bottom = std::min(height - 1, clientHeight - 1);
  }
  if (w.right > clientWidth - 1) {
    w.right = clientWidth - 1;
    w.left = std::max(0, clientWidth - width);
  }
  if (w.bottom > clientHeight - 1) {
    w.bottom = clientHeight - 1;
    w.top = std::max(0, clientHeight - height);
  }
  return kTrue;
}

int IInfoGetPosition(int& left, int& top, int& width, int& height, int& status) {
  static constexpr IRoutine kR{"IInfoGetPosition", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  const InfoWindow& w = Info();
  left = w.left;
  top = w.top;
  width = w.right - w.left + 1;
  height = w.bottom - w.top + 1;
  return kTrue;
}

int IInfoMoveRegion(const PMouseEvent& event, int& redraw, int& status) {
  static constexpr IRoutine kR{"IInfoMoveRegion", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  InfoWindow& w = Info();
  redraw = kFalse;
  const int x = event.x, y = event.y;
  switch (event.kind) {
    case PMouseKind::kLeftDown:
    case PMouseKind::kRightDown: {
      if (!Inside(x, y)) return kFalse;
      int edges = 0;
      if (x <= w.left + kBorder) {
        edges |= kLeft;
      } else if (x >= w.right - kBorder) {
        edges |= kRight;
      }
      if (y >= w.bottom - kBorder) {
        edges |= kBottom;
      } else if (y <= w.top + kBorder) {
        edges |= kTop;
      }
      w.edges = edges == 0 ? kInterior : edges;
      w.grabbed = true;
      w.downX = x;
      w.downY = y;
      WInitRubberBox(w.rubber);
      return kTrue;
    }
    case PMouseKind::kMove: {
      if (!w.grabbed) return Inside(x, y) ? kTrue : kFalse;
      int left, top, right, bottom;
      Moved(x - w.downX, y - w.downY, left, top, right, bottom);
      if (PCanvas* canvas = LiveCanvas()) {
        WDrawRubberBox(canvas, left, top, right, bottom, w.rubber, status);
      }
      return kTrue;
    }
    case PMouseKind::kLeftUp:
    case PMouseKind::kRightUp: {
      if (!w.grabbed) return kFalse;
      w.grabbed = false;
      if (PCanvas* canvas = LiveCanvas()) WClearRubberBox(canvas, w.rubber, status);
      int left, top, right, bottom;
      Moved(x - w.downX, y - w.downY, left, top, right, bottom);
      if (w.edges == kInterior) {
        // Moved whole and without limit; the next repaint brings it back inside.
        w.left = left;
        w.top = top;
        w.right = right;
        w.bottom = bottom;
      } else {
        if (w.right - left > kSmallest) w.left = left;
        if (right - w.left > kSmallest) w.right = right;
        if (w.bottom - top > kSmallest) w.top = top;
        if (bottom - w.top > kSmallest) w.bottom = bottom;
      }
      redraw = kTrue;
      return kTrue;
    }
    case PMouseKind::kNonClientMove: break;
  }
  return kFalse;
}

std::vector<std::string> IInfoLines() {
  const InfoWindow& w = Info();
  std::vector<std::string> result;
  result.reserve(static_cast<std::size_t>(w.held));
  for (int k = w.held - 1; k >= 0; --k) {
    const int index = (w.newest - k + kInfoRingSize) % kInfoRingSize;
    result.push_back(w.lines[static_cast<std::size_t>(index)]);
  }
  return result;
}

void IInfoClear() {
  InfoWindow& w = Info();
  w.lines = {};
  w.newest = -1;
  w.held = 0;
  w.newLine = true;
  w.canvas = nullptr;
  w.grabbed = false;
  WInitRubberBox(w.rubber);
}

int IInfoSetPosition(int left, int top, int width, int height, int& status) {
  static constexpr IRoutine kR{"IInfoSetPosition", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  if (width < 1 || width > 10000) return IFail(kR, kStatusIntRange1, status);
  if (height < 1 || height > 10000) return IFail(kR, kStatusIntRange2, status);
  InfoWindow& w = Info();
  w.left = left;
  w.top = top;
  w.right = left + width - 1;
  w.bottom = top + height - 1;
  return IInfoCheckPosition(status);
}
