// A drawing context over a paint device (the main window's back-buffer image, or a printer
// page): pen, fonts, text alignment, clip rectangle, poly-lines, filled rectangles, text,
// 24-bit bottom-up bitmaps copied and stretched, and exact pixel inversion of polygons.
//
// Coordinates are device pixels, origin top-left. The interface uses plain types so the
// layers above never see the toolkit.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class QPaintDevice;
class QPainter;
class QRect;

struct PPoint {
  int x = 0;
  int y = 0;
};

// A 24-bit device-independent bitmap: `stride` pixels per row (a multiple of 4, so each row is
// whole 32-bit words), rows stored bottom-up, bytes of a pixel blue, green, red.
struct PBitmap {
  int width = 0;
  int height = 0;
  int stride = 0;
  std::vector<std::uint8_t> bits;

  std::uint8_t* Row(int fromBottom) {
    return bits.data() + static_cast<std::size_t>(fromBottom) * static_cast<std::size_t>(stride) * 3;
  }
};

enum class PAlignH { kLeft, kCentre, kRight };
enum class PAlignV { kTop, kBottom };

struct PColour {
  std::uint8_t red = 0, green = 0, blue = 0;
};

class PCanvas {
 public:
  explicit PCanvas(QPaintDevice* device);
  ~PCanvas();
  PCanvas(const PCanvas&) = delete;
  PCanvas& operator=(const PCanvas&) = delete;

  int Width() const;
  int Height() const;
  QPaintDevice* Device() const { return device_; }
  // Whether pixels can be inverted in place (a raster image, not a printer page).
  bool CanInvert() const;

  // The stock black pen (solid, width 0/1) or a created pen.
  void SelectStockBlackPen();
  void SetPen(int width, PColour colour);

  // Selects a font of the given cell height in pixels and angle in tenths of a degree.
  bool SelectFont(int height, int angleTenths);
  // Selects the fixed-pitch font whose rows fit cellHeight pixels and whose characters are at
  // most cellHeight / 2 wide (text laid out by character count), upright. Faces are judged by
  // their measured glyph advances. False when the system has no fixed-pitch face; the
  // nearest face is selected anyway.
  bool SelectFixedFont(int cellHeight);
  // Cell height of a text in the selected font.
  int TextCellHeight(const std::string& text) const;
  // Width and height of the box a text takes in the selected font, unrotated.
  void TextExtent(const std::string& text, int& width, int& height) const;
  void SetTextAlign(PAlignH horizontal, PAlignV vertical);
  // Text with its reference point at (x, y); opaque paints the background colour behind it.
  bool Text(int x, int y, const std::string& text, PColour colour = {},
            bool opaque = false, PColour background = {255, 255, 255});

  // Saves pen, font, text alignment and clip rectangle, and brings back the last saved set,
  // so a routine drawing on a borrowed canvas leaves it as it found it.
  void PushState();
  void PopState();

  // Inclusive clip rectangle; ClearClip removes it.
  void SetClip(int left, int top, int right, int bottom);
  void ClearClip();
  bool ClipBox(int& left, int& top, int& right, int& bottom) const;

  // The drawing area (inclusive corners): while one is set, every drawing is clipped to it as
  // well as to the clip rectangle, and ClipBox reports the two together. It belongs to the
  // canvas, not to the saved state: PushState, PopState and ClearClip leave it alone.
  void SetDrawingArea(int left, int top, int right, int bottom);
  void ClearDrawingArea();
  // False when none is set.
  bool DrawingArea(int& left, int& top, int& right, int& bottom) const;

  void PolyLine(const PPoint* points, int count);
  // Fills left..right-1, top..bottom-1 (right and bottom exclusive, as window rectangles are).
  void FillRect(int left, int top, int right, int bottom, PColour colour);
  // The diagonal cross-hatch in `hatch` on an opaque `background`.
  void FillHatch(int left, int top, int right, int bottom, PColour background, PColour hatch);

  // Copies the top-left width x height pixels of the bitmap to (x, y).
  void DrawBitmap(const PBitmap& bitmap, int x, int y, int width, int height);
  // Stretches the bitmap's sourceWidth x sourceHeight pixels onto width x height at (x, y).
  void StretchBitmap(const PBitmap& bitmap, int sourceWidth, int sourceHeight, int x, int y,
                     int width, int height);

  // Inverts every pixel inside the polygon: drawing the same polygon twice restores them.
  void InvertPolygon(const PPoint* points, int count);

  // The colour of one device pixel (tests and the spy-glass).
  PColour Pixel(int x, int y) const;

 private:
  void Begin(QPainter& painter) const;
  // The clip every drawing gets: the clip rectangle and the drawing area together.
  bool EffectiveClip(QRect& clip) const;

  QPaintDevice* device_;
  struct State;
  std::unique_ptr<State> state_;
  std::vector<State> saved_;
  bool hasArea_ = false;
  int areaLeft_ = 0, areaTop_ = 0, areaRight_ = -1, areaBottom_ = -1;
};

// Creates the toolkit's application object when none exists yet (offscreen when there is no
// display), so that fonts and images work in batch runs and tests.
void PEnsureApplication();
