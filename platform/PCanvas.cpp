#include "platform/PCanvas.h"

#include <QApplication>
#include <QFont>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QImage>
#include <QPaintDevice>
#include <QPainter>
#include <QPainterPath>
#include <QPolygon>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

struct PCanvas::State {
  bool stockPen = true;
  int penWidth = 1;
  QColor penColour = Qt::black;
  QFont font;
  bool fixedFont = false;
  int fontAngleTenths = 0;
  PAlignH alignH = PAlignH::kLeft;
  PAlignV alignV = PAlignV::kTop;
  bool clip = false;
  QRect clipRect;
};

namespace {

QColor ToQt(PColour c) { return QColor(c.red, c.green, c.blue); }

}  // namespace

namespace {

// The toolkit's own chatter (missing session bus, plugin notes) is not the program's
// business; it is shown only when LV_QT_MESSAGES is set.
void QuietMessages(QtMsgType type, const QMessageLogContext&, const QString& message) {
  if (type == QtFatalMsg || std::getenv("LV_QT_MESSAGES")) {
    std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
  }
}

}  // namespace

void PEnsureApplication() {
  if (QCoreApplication::instance()) return;
  qInstallMessageHandler(QuietMessages);
  if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") &&
      !std::getenv("QT_QPA_PLATFORM")) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
  }
  static int argc = 1;
  static char name[] = "lumivane";
  static char* argv[] = {name, nullptr};
  static QApplication* application = new QApplication(argc, argv);  // lives for the run
  (void)application;
}

PCanvas::PCanvas(QPaintDevice* device) : device_(device), state_(std::make_unique<State>()) {
  state_->font.setStyleHint(QFont::Serif);
  state_->font.setPixelSize(12);
}

PCanvas::~PCanvas() = default;

int PCanvas::Width() const { return device_ ? device_->width() : 0; }
int PCanvas::Height() const { return device_ ? device_->height() : 0; }

bool PCanvas::CanInvert() const { return device_ && device_->devType() == QInternal::Image; }

void PCanvas::Begin(QPainter& painter) const {
  painter.begin(device_);
  painter.setRenderHint(QPainter::Antialiasing, false);
  painter.setRenderHint(QPainter::TextAntialiasing, true);
  QRect clip;
  if (EffectiveClip(clip)) painter.setClipRect(clip);
}

bool PCanvas::EffectiveClip(QRect& clip) const {
  if (!state_->clip && !hasArea_) return false;
  const QRect area(QPoint(areaLeft_, areaTop_), QPoint(areaRight_, areaBottom_));
  if (state_->clip && hasArea_) {
    clip = state_->clipRect.intersected(area);
  } else {
    clip = state_->clip ? state_->clipRect : area;
  }
  // An empty intersection still clips everything away.
  if (clip.isEmpty()) clip = QRect(0, 0, 0, 0);
  return true;
}

void PCanvas::SelectStockBlackPen() {
  state_->stockPen = true;
  state_->penWidth = 1;
  state_->penColour = Qt::black;
}

void PCanvas::SetPen(int width, PColour colour) {
  state_->stockPen = false;
  state_->penWidth = width < 1 ? 1 : width;
  state_->penColour = ToQt(colour);
}

bool PCanvas::SelectFont(int height, int angleTenths) {
  if (height <= 0) return false;
  if (state_->fixedFont) {
    state_->font = QFont();
    state_->font.setStyleHint(QFont::Serif);
    state_->fixedFont = false;
  }
  // The height is the character cell's, leading included, as the layers above lay text out;
  // the toolkit's pixel size is the smaller em height.
  state_->font.setPixelSize(height);
  const int cell = QFontMetrics(state_->font, device_).height();
  if (cell > height) state_->font.setPixelSize(std::max(1, (height * height + cell / 2) / cell));
  state_->fontAngleTenths = angleTenths;
  return true;
}

namespace {

// A face is fixed-pitch when its glyphs advance alike. The font library's own flag is not
// asked: several monospaced faces (Noto Sans Mono among them) do not declare it.
bool AdvancesAlike(const QFont& font, QPaintDevice* device) {
  const QFontMetrics metrics(font, device);
  const int advance = metrics.horizontalAdvance(QString(10, QChar('M')));
  if (advance <= 0) return false;
  for (const char c : {'i', 'l', 'W', '.', '0', ' '}) {
    if (metrics.horizontalAdvance(QString(10, QChar(c))) != advance) return false;
  }
  return true;
}

struct FixedFace {
  QFont font;
  bool fixed = false;
};

// The first face, in order of preference, whose measured advances are alike: the system's
// fixed font, the common monospaced families, then whatever "monospace" names. Measured once
// per run; when none is fixed the system's fixed font is used anyway.
const FixedFace& ChooseFixedFace(QPaintDevice* device) {
  static const FixedFace face = [device] {
    QFont system = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    system.setStyleHint(QFont::TypeWriter);
    std::vector<QFont> candidates{system};
    for (const char* family : {"DejaVu Sans Mono", "Liberation Mono", "Noto Sans Mono",
                               "Noto Mono", "monospace", "Courier New", "Courier"}) {
      QFont font(QString::fromLatin1(family));
      font.setStyleHint(QFont::TypeWriter);
      candidates.push_back(font);
    }
    for (QFont& font : candidates) {
      font.setPixelSize(14);
      if (AdvancesAlike(font, device)) return FixedFace{font, true};
    }
    return FixedFace{system, false};
  }();
  return face;
}

}  // namespace

bool PCanvas::SelectFixedFont(int cellHeight) {
  if (cellHeight <= 0) return false;
  const FixedFace& face = ChooseFixedFace(device_);
  QFont font = face.font;
  // The largest size whose row height and mean character width (over a long run, so rounding
  // of single advances does not decide) fit the cell.
  const QString sample(50, QChar('M'));
  int size = cellHeight;
  for (; size > 1; --size) {
    font.setPixelSize(size);
    const QFontMetrics metrics(font, device_);
    if (metrics.height() <= cellHeight &&
        metrics.horizontalAdvance(sample) <= 50 * (cellHeight / 2)) {
      break;
    }
  }
  font.setPixelSize(size);
  state_->font = font;
  state_->fontAngleTenths = 0;
  state_->fixedFont = true;
  return face.fixed;
}

void PCanvas::PushState() { saved_.push_back(*state_); }

void PCanvas::PopState() {
  if (saved_.empty()) return;
  *state_ = saved_.back();
  saved_.pop_back();
}

int PCanvas::TextCellHeight(const std::string& text) const {
  QFontMetrics metrics(state_->font, device_);
  return metrics.boundingRect(QString::fromStdString(text)).height();
}

void PCanvas::TextExtent(const std::string& text, int& width, int& height) const {
  QFontMetrics metrics(state_->font, device_);
  width = metrics.horizontalAdvance(QString::fromStdString(text));
  height = metrics.height();
}

void PCanvas::SetTextAlign(PAlignH horizontal, PAlignV vertical) {
  state_->alignH = horizontal;
  state_->alignV = vertical;
}

bool PCanvas::Text(int x, int y, const std::string& text, PColour colour, bool opaque,
                   PColour background) {
  if (!device_) return false;
  QPainter painter;
  Begin(painter);
  if (!painter.isActive()) return false;
  painter.setFont(state_->font);
  const QString string = QString::fromStdString(text);
  QFontMetrics metrics(state_->font, device_);
  const int width = metrics.horizontalAdvance(string);
  const int height = metrics.height();
  int dx = 0;
  if (state_->alignH == PAlignH::kCentre) dx = -width / 2;
  if (state_->alignH == PAlignH::kRight) dx = -width;
  const int dy = state_->alignV == PAlignV::kTop ? 0 : -height;
  painter.translate(x, y);
  // Angles count counter-clockwise on the screen.
  if (state_->fontAngleTenths != 0) painter.rotate(-state_->fontAngleTenths / 10.0);
  const QRect cell(dx, dy, width, height);
  if (opaque) painter.fillRect(cell, ToQt(background));
  painter.setPen(ToQt(colour));
  painter.drawText(QPoint(dx, dy + metrics.ascent()), string);
  return true;
}

void PCanvas::SetClip(int left, int top, int right, int bottom) {
  state_->clip = true;
  state_->clipRect = QRect(QPoint(left, top), QPoint(right, bottom));
}

void PCanvas::ClearClip() { state_->clip = false; }

bool PCanvas::ClipBox(int& left, int& top, int& right, int& bottom) const {
  QRect box(0, 0, Width(), Height());
  QRect clip;
  if (EffectiveClip(clip)) box = box.intersected(clip);
  left = box.left();
  top = box.top();
  right = box.right();
  bottom = box.bottom();
  return !box.isEmpty();
}

void PCanvas::SetDrawingArea(int left, int top, int right, int bottom) {
  hasArea_ = true;
  areaLeft_ = left;
  areaTop_ = top;
  areaRight_ = right;
  areaBottom_ = bottom;
}

void PCanvas::ClearDrawingArea() { hasArea_ = false; }

bool PCanvas::DrawingArea(int& left, int& top, int& right, int& bottom) const {
  if (!hasArea_) return false;
  left = areaLeft_;
  top = areaTop_;
  right = areaRight_;
  bottom = areaBottom_;
  return true;
}

void PCanvas::PolyLine(const PPoint* points, int count) {
  if (!device_ || count < 2) return;
  QPolygon polygon(count);
  for (int i = 0; i < count; ++i) polygon.setPoint(i, points[i].x, points[i].y);
  QPainter painter;
  Begin(painter);
  QPen pen(state_->penColour);
  pen.setWidth(state_->stockPen ? 0 : state_->penWidth);
  pen.setCapStyle(Qt::FlatCap);
  painter.setPen(pen);
  painter.drawPolyline(polygon);
}

void PCanvas::FillRect(int left, int top, int right, int bottom, PColour colour) {
  if (!device_ || right <= left || bottom <= top) return;
  QPainter painter;
  Begin(painter);
  painter.fillRect(QRect(left, top, right - left, bottom - top), ToQt(colour));
}

void PCanvas::FillHatch(int left, int top, int right, int bottom, PColour background,
                        PColour hatch) {
  if (!device_ || right <= left || bottom <= top) return;
  QPainter painter;
  Begin(painter);
  const QRect rect(left, top, right - left, bottom - top);
  painter.fillRect(rect, ToQt(background));
  painter.fillRect(rect, QBrush(ToQt(hatch), Qt::DiagCrossPattern));
}

void PCanvas::DrawBitmap(const PBitmap& bitmap, int x, int y, int width, int height) {
  StretchBitmap(bitmap, width, height, x, y, width, height);
}

void PCanvas::StretchBitmap(const PBitmap& bitmap, int sourceWidth, int sourceHeight, int x,
                            int y, int width, int height) {
  if (!device_ || bitmap.bits.empty() || sourceWidth <= 0 || sourceHeight <= 0) return;
  sourceWidth = std::min(sourceWidth, bitmap.width);
  sourceHeight = std::min(sourceHeight, bitmap.height);
  // The bitmap's rows run bottom-up: wrap its memory without copying and flip while drawing.
  const QImage image(bitmap.bits.data(), bitmap.width, bitmap.height, bitmap.stride * 3,
                     QImage::Format_BGR888);
  QPainter painter;
  Begin(painter);
  painter.translate(x, y + height);
  painter.scale(static_cast<double>(width) / sourceWidth,
                -static_cast<double>(height) / sourceHeight);
  // The top-left sourceWidth x sourceHeight on screen are the last rows in memory.
  painter.drawImage(QPoint(0, 0), image,
                    QRect(0, bitmap.height - sourceHeight, sourceWidth, sourceHeight).translated(0, 0)
                        .intersected(QRect(0, 0, bitmap.width, bitmap.height)));
}

void PCanvas::InvertPolygon(const PPoint* points, int count) {
  if (!CanInvert() || count < 3) return;
  QPolygon polygon(count);
  for (int i = 0; i < count; ++i) polygon.setPoint(i, points[i].x, points[i].y);
  QPainter painter;
  Begin(painter);
  painter.setCompositionMode(QPainter::RasterOp_NotDestination);
  painter.setPen(Qt::NoPen);
  painter.setBrush(Qt::black);
  painter.drawPolygon(polygon);
}

PColour PCanvas::Pixel(int x, int y) const {
  if (!CanInvert() || x < 0 || y < 0 || x >= Width() || y >= Height()) return {};
  const QRgb rgb = static_cast<const QImage*>(device_)->pixel(x, y);
  return {static_cast<std::uint8_t>(qRed(rgb)), static_cast<std::uint8_t>(qGreen(rgb)),
          static_cast<std::uint8_t>(qBlue(rgb))};
}
