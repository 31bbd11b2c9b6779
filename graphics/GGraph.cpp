#include "graphics/GGraph.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>

#include "core/status.h"
#include "core/text.h"
#include "graphics/GGraphics.h"
#include "maths/MStatistics.h"
#include "ui/WWindow.h"

namespace {

// Points per poly-line piece of the data line.
constexpr int kPiece = 1024;
// Decades walked at most on a logarithmic axis.
constexpr double kMostDecades = 1000.0;

// A line across the axis at axis value v, from `low` to `high` on the other axis.
int TickLine(const GAxis& axis, double v, float low, float high, int& status) {
  const float value = static_cast<float>(v);
  if (axis.horizontal) return GLine(value, low, value, high, status);
  return GLine(low, value, high, value, status);
}

// The extent of a tick of this length on the sides the axis asks for.
void TickSpan(const GAxis& axis, float length, float& low, float& high) {
  low = axis.ticksMinusSide ? axis.position - length : axis.position;
  high = axis.ticksPlusSide ? axis.position + length : axis.position;
}

int Label(const GAxis& axis, double v, float numberPosition, const std::string& text,
          int& status) {
  if (text.empty()) return kTrue;
  const float value = static_cast<float>(v);
  if (axis.horizontal) return GText(value, numberPosition, text, status);
  return GText(numberPosition, value, text, status);
}

bool Within(const GAxis& axis, double v) { return v >= axis.start && v <= axis.end; }

// Y extremes of the region row, masked points included (a wholly masked scan is still drawn).
void RowExtremes(const DataSet& d, float& minimum, float& maximum) {
  minimum = maximum = d.data[IIndex(d, d.startX, d.startY)];
  for (int y = d.startY; y <= d.endY; ++y) {
    for (int x = d.startX; x <= d.endX; ++x) {
      const float v = d.data[IIndex(d, x, y)];
      minimum = std::min(minimum, v);
      maximum = std::max(maximum, v);
    }
  }
}

// Why the region row of `d` cannot be drawn as a graph, or empty when it can: a single point,
// or a value or error bar that is not finite.
std::string PointsRefusal(const DataSet& d) {
  const auto xOf = [&d](int i) {
    return static_cast<double>(d.xAxisInPixels
                                   ? static_cast<float>(i) + 0.5f
                                   : static_cast<float>(i) * d.pixelSizeX + d.xAxisStart);
  };
  if (d.endX - d.startX < 1) {
    return IFormat("it has only one point (X = %g, value %g)", xOf(d.startX),
                   static_cast<double>(d.data[IIndex(d, d.startX, d.startY)]));
  }
  const bool errorBars = d.variancesDefined && d.variances;
  for (int i = d.startX; i <= d.endX; ++i) {
    const std::size_t index = IIndex(d, i, d.startY);
    if (!std::isfinite(d.data[index])) {
      return IFormat("the value at X = %g is %g", xOf(i), static_cast<double>(d.data[index]));
    }
    if (errorBars && !std::isfinite(d.variances[index])) {
      return IFormat("the variance at X = %g is %g", xOf(i),
                     static_cast<double>(d.variances[index]));
    }
  }
  return std::string();
}

// In place of a graph that cannot be drawn: the title and the reason, on the graph's white
// ground. A paint must not fail on such data, or every repaint would report it again.
int DrawRefusal(PCanvas* canvas, int x0, int y0, int width, int height, const DataSet& d,
                const std::string& reason, int& status) {
  if (!GSetBP(width, height, x0, y0, width, height, status)) return kFalse;
  if (!GSetDDR(0.0f, 0.0f, 1.0f, 1.0f, status)) return kFalse;
  WDrawBackground(canvas, 446, status);
  GSetLineColour(0, 0, 0, status);
  GSetTextAngle(0.0f, status);
  // Centred in the drawing area (the graph's viewport leaves margins for the axes).
  const float centreX = GWindowToWorldX(x0 + width / 2);
  GSetTextHeight(0.025f, status);
  GSetTextAlignment(kAlignCentre, kAlignBottom, status);
  GText(centreX, GWindowToWorldY(y0 + height / 10), d.title, status);
  GSetTextHeight(0.02f, status);
  GSetTextAlignment(kAlignCentre, kAlignHalf, status);
  GText(centreX, GWindowToWorldY(y0 + height / 2), "Cannot draw this scan as a graph: " + reason,
        status);
  return status == kStatusGood ? kTrue : kFalse;
}

// The text of major tick k of a linear axis, as the numbers are written.
int TickText(double first, double spacing, int k, std::string& text, int& status) {
  float value = static_cast<float>(first + k * spacing);
  // A tick reached through a negative first one lands a rounding error off zero.
  if (std::fabs(value) < 1.0e-5 * std::fabs(spacing)) value = 0.0f;
  return IReal2Token(kTrue, value, text, status);
}

// The device pixels a linear axis over start..end takes across itself with its numbers: the
// widest number and the height of a line of them, in the current text height.
void NumbersExtent(double start, double end, int& widest, int& height, int& status) {
  widest = 0;
  height = 0;
  int local = kStatusGood;
  double first = 0.0, spacing = 0.0;
  int count = 0;
  int w = 0, h = 0;
  if (!GTextExtent("0", w, height, status)) return;
  if (!GCalTickPositions(start, end, first, spacing, count, local)) return;
  for (int k = 0; k < count && k < 1000; ++k) {
    std::string text;
    if (!TickText(first, spacing, k, text, local)) return;
    if (!GTextExtent(text, w, h, status)) return;
    widest = std::max(widest, w);
  }
}

// Where the numbers of an axis stand off its line, in device pixels (GDrawAxis: 0.00625 of
// the drawing area across the axis).
int NumberOffset(int across) { return GTruncate(0.00625 * across) + 1; }

}  // namespace

int GCalTickPositions(double start, double end, double& first, double& spacing, int& count,
                      int& status) {
  static constexpr IRoutine kR{"GCalTickPositions", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!(start < end) || !std::isfinite(end - start)) return IFail(kR, 17, status);
  const double range = end - start;
  const double approximate = range * 0.1;
  double decade = std::pow(10.0, std::floor(std::log10(approximate)));
  double c = approximate / decade;
  // The logarithm may land a hair either side of a whole power.
  if (c >= 10.0) {
    decade *= 10.0;
    c /= 10.0;
  } else if (c < 1.0) {
    decade /= 10.0;
    c *= 10.0;
  }
  const double multiplier = c <= 1.05 ? 1.0 : c <= 2.1 ? 2.0 : c <= 5.25 ? 5.0 : 10.0;
  spacing = decade * multiplier;
  // The tick nearest the start (rounding down for negative starts too, so that none is lost),
  // moved up one when it lies noticeably before the start.
  first = spacing * std::floor(start / spacing + 0.5);
  if (start - first > 0.0001 * range) first += spacing;
  count = GTruncate((end - first) / spacing + 0.00001) + 1;
  return kTrue;
}

int GDrawLinearNumbers(const GAxis& axis, double first, double spacing, int count,
                       float numberPosition, int& status) {
  static constexpr IRoutine kR{"GDrawLinearNumbers", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  for (int k = 0; k < count; ++k) {
    std::string text;
    if (!TickText(first, spacing, k, text, status)) return kFalse;
    if (!Label(axis, first + k * spacing, numberPosition, text, status)) return kFalse;
  }
  return kTrue;
}

int GDrawLinearTicks(const GAxis& axis, double first, double spacing, int count,
                     float tickLength, int& status) {
  static constexpr IRoutine kR{"GDrawLinearTicks", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  float low = 0.0f, high = 0.0f;
  TickSpan(axis, tickLength, low, high);
  if (low == high) return kTrue;
  for (int k = 0; k < count; ++k) {
    if (!TickLine(axis, first + k * spacing, low, high, status)) return kFalse;
  }
  if (axis.minorTicks < 1 || !(spacing > 0.0)) return kTrue;
  TickSpan(axis, 0.6f * tickLength, low, high);
  const double minorSpacing = spacing / (axis.minorTicks + 1);
  for (int k = -1; k <= count; ++k) {
    const double major = first + k * spacing;
    for (int m = 1; m <= axis.minorTicks; ++m) {
      const double v = major + m * minorSpacing;
      if (Within(axis, v) && !TickLine(axis, v, low, high, status)) return kFalse;
    }
  }
  return kTrue;
}

int GDrawLogNumbers(const GAxis& axis, float numberPosition, int& status) {
  static constexpr IRoutine kR{"GDrawLogNumbers", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  // A start a rounding error past a whole decade still numbers that decade.
  const double first = std::ceil(axis.start - 0.0001);
  const double last = std::floor(axis.end);
  if (!(last - first <= kMostDecades)) return kTrue;
  for (double decade = first; decade <= last; decade += 1.0) {
    std::string text;
    if (!IReal2Token(kTrue, static_cast<float>(decade), text, status)) return kFalse;
    if (!Label(axis, decade, numberPosition, text, status)) return kFalse;
  }
  if (last - first > 2.0) return kTrue;
  for (double decade = first - 1.0; decade <= last; decade += 1.0) {
    for (const int mantissa : {2, 5}) {
      const double v = decade + std::log10(static_cast<double>(mantissa));
      if (!Within(axis, v)) continue;
      if (!Label(axis, v, numberPosition, std::to_string(mantissa), status)) return kFalse;
    }
  }
  return kTrue;
}

int GDrawLogTicks(const GAxis& axis, float tickLength, int& status) {
  static constexpr IRoutine kR{"GDrawLogTicks", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  float low = 0.0f, high = 0.0f;
  TickSpan(axis, tickLength, low, high);
  if (low == high) return kTrue;
  const double first = std::ceil(axis.start - 0.0001);
  const double top = std::ceil(axis.end);
  if (!(top - first <= kMostDecades)) return kTrue;
  for (double decade = first; decade <= top - 1.0; decade += 1.0) {
    if (Within(axis, decade) && !TickLine(axis, decade, low, high, status)) return kFalse;
  }
  if (top - first > 16.0) return kTrue;
  TickSpan(axis, 0.6f * tickLength, low, high);
  for (double decade = first - 1.0; decade <= top; decade += 1.0) {
    for (int mantissa = 2; mantissa <= 9; ++mantissa) {
      const double v = decade + std::log10(static_cast<double>(mantissa));
      if (Within(axis, v) && !TickLine(axis, v, low, high, status)) return kFalse;
    }
  }
  return kTrue;
}

int GDrawAxis(const GAxis& axis, int& status) {
  static constexpr IRoutine kR{"GDrawAxis", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  float scaleX = 0.0f, scaleY = 0.0f;
  if (!GGetScaling(scaleX, scaleY, status)) return kFalse;
  // Lengths across the axis are fixed fractions of the viewport, whatever the world units.
  const float across = axis.horizontal ? scaleY : scaleX;
  const float tick = 0.0125f / across;
  float numberPosition = axis.position;
  if (axis.numbers) {
    const float n = 0.00625f / across;
    if (axis.numbersMinusSide) {
      numberPosition = axis.position - n - (axis.ticksMinusSide ? 2.0f * n : 0.0f);
    } else {
      numberPosition = axis.position + n + (axis.ticksPlusSide ? 2.0f * n : 0.0f);
    }
    if (axis.horizontal) {
      GSetTextAlignment(954, 956, status);
    } else {
      GSetTextAlignment(955, 957, status);
    }
  }
  if (axis.horizontal) {
    GLine(axis.start, axis.position, axis.end, axis.position, status);
  } else {
    GLine(axis.position, axis.start, axis.position, axis.end, status);
  }
  if (status != kStatusGood) return kFalse;

  if (!axis.linear) {
    if (axis.numbers && !GDrawLogNumbers(axis, numberPosition, status)) return kFalse;
    return GDrawLogTicks(axis, tick, status);
  }
  double first = axis.firstTick, spacing = axis.tickSpacing;
  int count = axis.tickCount;
  if (axis.automaticTicks &&
      !GCalTickPositions(axis.start, axis.end, first, spacing, count, status)) {
    return kFalse;
  }
  if (axis.numbers && !GDrawLinearNumbers(axis, first, spacing, count, numberPosition, status)) {
    return kFalse;
  }
  return GDrawLinearTicks(axis, first, spacing, count, tick, status);
}

int GDrawAxisFrame(int& status) {
  static constexpr IRoutine kR{"GDrawAxisFrame", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  float minX = 0.0f, minY = 0.0f, maxX = 0.0f, maxY = 0.0f;
  if (!GGetDDR(minX, minY, maxX, maxY, status)) return kFalse;
  const float x[5] = {minX, maxX, maxX, minX, minX};
  const float y[5] = {minY, minY, maxY, maxY, minY};
  if (!GPolyLine(5, x, y, status)) return kFalse;
  GAxis xAxis;
  xAxis.horizontal = kTrue;
  xAxis.position = minY;
  xAxis.start = minX;
  xAxis.end = maxX;
  if (!GDrawAxis(xAxis, status)) return kFalse;
  GAxis yAxis;
  yAxis.horizontal = kFalse;
  yAxis.position = minX;
  yAxis.start = minY;
  yAxis.end = maxY;
  return GDrawAxis(yAxis, status);
}

int GDrawDataXY(const DataSet& d, int& status) {
  static constexpr IRoutine kR{"GDrawDataXY", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  if (d.startY != d.endY) return IFail(kR, kStatusNot1D, status);
  if (d.endX - d.startX < 1) return IFail(kR, kStatusIntRange1, status);
  auto xOf = [&d](int i) {
    return d.xAxisInPixels ? static_cast<float>(i) + 0.5f
                           : static_cast<float>(i) * d.pixelSizeX + d.xAxisStart;
  };
  // Pieces share their end points, so the line runs on unbroken.
  std::array<float, kPiece> x{}, y{};
  for (int start = d.startX; start < d.endX;) {
    const int count = std::min(kPiece, d.endX - start + 1);
    for (int k = 0; k < count; ++k) {
      x[static_cast<std::size_t>(k)] = xOf(start + k);
      y[static_cast<std::size_t>(k)] = d.data[IIndex(d, start + k, d.startY)];
    }
    if (!GPolyLine(count, x.data(), y.data(), status)) return kFalse;
    start += count - 1;
  }
  if (d.variancesDefined && d.variances) {
    for (int i = d.startX; i <= d.endX; ++i) {
      const float value = d.data[IIndex(d, i, d.startY)];
      const float error = std::sqrt(std::max(0.0f, d.variances[IIndex(d, i, d.startY)]));
      if (!GLine(xOf(i), value - error, xOf(i), value + error, status)) return kFalse;
    }
  }
  return kTrue;
}

int GDrawXYGraph(PCanvas* canvas, int x0, int y0, int width, int height, const DataSet& d,
                 int& status) {
  static constexpr IRoutine kR{"GDrawXYGraph", "V0.6"};
  if (IBad(kR, status)) return kFalse;
  // The graph needs no diffraction geometry; a scan's step may be negative (falling
  // abscissae, as d-spacing scans are often stored).
  if (!ICheckDataLayout("GDrawXYGraph: data", d, status)) return kFalse;
  if (!canvas) return IFail(kR, kStatusBadHandle, status);
  if (!GSetWindow(canvas, status)) return kFalse;
  if (!d.dataDefined || !d.data) return IFail(kR, kStatusNotAllocated, status);
  if (d.startY != d.endY) return IFail(kR, kStatusNot1D, status);
  const std::string refusal = PointsRefusal(d);
  if (!refusal.empty()) return DrawRefusal(canvas, x0, y0, width, height, d, refusal, status);

  float minY = 0.0f, maxY = 0.0f;
  const bool errorBars = d.variancesDefined && d.variances;
  if (errorBars) {
    if (!MROIErrorMinMax(d, minY, maxY, status)) return kFalse;
  } else {
    if (!MROIMinMax(d, minY, maxY, status)) return kFalse;
  }
  // Every point masked leaves the search empty; the line is drawn regardless of the mask.
  if (minY > maxY) RowExtremes(d, minY, maxY);
  if (minY == maxY) {
    // A constant scan gets a range of one per cent either side of its value (about zero, a
    // fixed small one).
    const float value = minY;
    if (value != 0.0f) {
      minY = value - 0.01f * std::fabs(value);
      maxY = value + 0.01f * std::fabs(value);
    } else {
      minY = -0.01f;
      maxY = 0.01f;
    }
  }
  float minX = 0.0f, maxX = 0.0f;
  if (d.xAxisInPixels) {
    minX = static_cast<float>(d.startX);
    maxX = static_cast<float>(d.endX + 1);
  } else {
    // A negative step runs the abscissae downwards; the axis still rises to the right.
    const float first = static_cast<float>(d.startX) * d.pixelSizeX + d.xAxisStart;
    const float last = static_cast<float>(d.endX + 1) * d.pixelSizeX + d.xAxisStart;
    minX = std::min(first, last);
    maxX = std::max(first, last);
  }
  const float rangeX = maxX - minX;
  const float rangeY = maxY - minY;
  const float top = maxY + 0.01f * rangeY;  // head-room above the data
  if (!(minX < maxX) || !std::isfinite(rangeX)) {
    return DrawRefusal(canvas, x0, y0, width, height, d,
                       IFormat("its X axis (start %g, step %g) has no finite extent",
                               static_cast<double>(d.xAxisStart),
                               static_cast<double>(d.pixelSizeX)),
                       status);
  }
  if (!(minY < top) || !std::isfinite(top - minY)) {
    return DrawRefusal(canvas, x0, y0, width, height, d,
                       IFormat("its values (%g to %g) have no finite range on a float scale",
                               static_cast<double>(minY), static_cast<double>(maxY)),
                       status);
  }

  if (!GSetBP(width, height, x0, y0, width, height, status)) return kFalse;
  // The frame leaves room for the numbers and the labels beside them at this text size:
  // wide windows write large numbers, and long ones ("1.5e+12") push the intensity label out.
  GraphicsState& g = GState();
  g.viewLeft = 0.10f;
  g.viewRight = 0.98f;
  g.viewBottom = 0.06f;
  g.viewTop = 0.95f;
  GSetTextHeight(0.025f, status);
  int titleWidth = 0, titleHeight = 0;
  GTextExtent(d.title.empty() ? "X" : d.title, titleWidth, titleHeight, status);
  GSetTextHeight(0.02f, status);
  int widestY = 0, numberHeight = 0, unused = 0;
  NumbersExtent(minY, top, widestY, numberHeight, status);
  NumbersExtent(minX, maxX, unused, numberHeight, status);
  const int gap = std::max(2, numberHeight / 4);
  const int belowFrame = NumberOffset(height) + numberHeight + gap + numberHeight + 2;
  const int leftOfFrame = NumberOffset(width) + widestY + gap + numberHeight + 2;
  g.viewBottom = std::clamp(static_cast<float>(belowFrame) / static_cast<float>(height), 0.06f, 0.4f);
  g.viewLeft = std::clamp(static_cast<float>(leftOfFrame) / static_cast<float>(width), 0.10f, 0.5f);
  g.viewTop = std::clamp(1.0f - static_cast<float>(titleHeight + 4) / static_cast<float>(height),
                         g.viewBottom + 0.1f, 0.95f);
  if (!GSetDDR(minX, minY, maxX, top, status)) return kFalse;
  WDrawBackground(canvas, 446, status);
  GSetLineColour(0, 0, 0, status);
  if (std::min(width, height) > 1500) GSetLineWidth(2, status);

  GSetTextHeight(0.02f, status);
  GDrawAxisFrame(status);

  GSetClipRegion(minX, minY, maxX, maxY, status);
  GClipOn(status);
  GDrawDataXY(d, status);
  GClipOff(status);

  const float centreX = 0.5f * (minX + maxX);
  GSetTextHeight(0.025f, status);
  GSetTextAlignment(954, 960, status);
  GText(centreX, top, d.title, status);

  // The labels stand beyond the numbers, never on them.
  GSetTextHeight(0.02f, status);
  GSetTextAlignment(954, 956, status);
  const int frameBottom = GWorldToWindowY(minY);
  const int frameLeft = GWorldToWindowX(minX);
  GText(centreX, GWindowToWorldY(frameBottom + NumberOffset(height) + numberHeight + gap),
        d.xLabel, status);

  GSetTextAngle(90.0f, status);
  GSetTextAlignment(954, 960, status);
  GText(GWindowToWorldX(frameLeft - NumberOffset(width) - widestY - gap),
        0.5f * (minY + maxY), d.zLabel, status);
  GSetTextAngle(0.0f, status);
  GSetLineWidth(1, status);
  return status == kStatusGood ? kTrue : kFalse;
}

bool GHasAxisImage(const DataSet& d) {
  return d.dataDefined && d.numY >= 2 && !d.xAxisInPixels &&
         (d.yLabel == "Azimuth (Degrees)" || d.yLabel == "File Number") && d.pixelSizeX > 0.0f &&
         d.pixelSizeY > 0.0f;
}

int GDrawImageAxes(int width, int height, const DataSet& d, int& status) {
  static constexpr IRoutine kR{"GDrawImageAxes", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  if (!GHasAxisImage(d)) return kFalse;
  // The columns and rows in view, where the image drawing put them.
  const int c0 = std::max(0, d.displayStartX), r0 = std::max(0, d.displayStartY);
  const int c1 = GWindowToPixelX(width - 1, d);
  const int r1 = GWindowToPixelY(0, d);
  const int left = GDataToWindowX(static_cast<float>(c0), d);
  const int right = std::min(width - 1, GDataToWindowX(static_cast<float>(c1 + 1), d));
  const int top = std::max(0, GDataToWindowY(static_cast<float>(r1 + 1), d));
  const int bottom = std::min(height - 1, GDataToWindowY(static_cast<float>(r0), d));
  if (right - left < 8 || bottom - top < 8 || c1 < c0 || r1 < r0) return kFalse;
  // Bin centres carry the axis values: the drawn edges lie half a bin further out.
  const float x0 = d.xAxisStart + (static_cast<float>(c0) - 0.5f) * d.pixelSizeX;
  const float x1 = d.xAxisStart + (static_cast<float>(c1) + 0.5f) * d.pixelSizeX;
  const float y0 = d.yAxisStart + (static_cast<float>(r0) - 0.5f) * d.pixelSizeY;
  const float y1 = d.yAxisStart + (static_cast<float>(r1) + 0.5f) * d.pixelSizeY;
  // The image's mapping stays in force for the mouse: the axes borrow the state and give it
  // back.
  const GraphicsState kept = GState();
  // The world window goes onto exactly the image's rectangle of the canvas.
  GraphicsState& g = GState();
  const float w = static_cast<float>(kept.width), h = static_cast<float>(kept.height);
  g.viewLeft = static_cast<float>(left) / w;
  g.viewRight = static_cast<float>(right) / w;
  g.viewBottom = (h - static_cast<float>(bottom)) / h;
  g.viewTop = (h - static_cast<float>(top)) / h;
  if (GSetBP(kept.width, kept.height, left, top, right - left, bottom - top, status) &&
      GSetDDR(x0, y0, x1, y1, status)) {
    GSetLineColour(0, 0, 0, status);
    GSetTextHeight(0.02f, status);
    GDrawAxisFrame(status);
    // The labels stand beyond the numbers, never on them.
    int widestY = 0, numberHeight = 0, unused = 0;
    NumbersExtent(y0, y1, widestY, numberHeight, status);
    NumbersExtent(x0, x1, unused, numberHeight, status);
    const int gap = std::max(2, numberHeight / 4);
    GSetTextAlignment(954, 956, status);
    GText(0.5f * (x0 + x1),
          GWindowToWorldY(bottom + NumberOffset(kept.height) + numberHeight + gap), d.xLabel,
          status);
    GSetTextAngle(90.0f, status);
    GSetTextAlignment(954, 960, status);
    GText(GWindowToWorldX(left - NumberOffset(kept.width) - widestY - gap), 0.5f * (y0 + y1),
          d.yLabel, status);
    GSetTextAngle(0.0f, status);
  }
  GState() = kept;
  return status == kStatusGood ? kTrue : kFalse;
}

int GImageAxesMargins(PCanvas* canvas, int width, int height, const DataSet& d, int& left,
                      int& right, int& top, int& below, int& status) {
  static constexpr IRoutine kR{"GImageAxesMargins", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  if (!GHasAxisImage(d) || !canvas) return kFalse;
  if (!GSetWindow(canvas, status) || !GSetBP(width, height, 0, 0, width, height, status)) {
    return kFalse;
  }
  // The whole data set, as an image that fills its area shows it.
  const float x0 = d.xAxisStart - 0.5f * d.pixelSizeX;
  const float x1 = d.xAxisStart + (static_cast<float>(d.numX) - 0.5f) * d.pixelSizeX;
  const float y0 = d.yAxisStart - 0.5f * d.pixelSizeY;
  const float y1 = d.yAxisStart + (static_cast<float>(d.numY) - 0.5f) * d.pixelSizeY;
  GSetTextHeight(0.02f, status);
  int widestX = 0, widestY = 0, numberHeight = 0;
  NumbersExtent(y0, y1, widestY, numberHeight, status);
  NumbersExtent(x0, x1, widestX, numberHeight, status);
  const int gap = std::max(2, numberHeight / 4);
  left = NumberOffset(width) + widestY + gap + numberHeight + 4;
  below = NumberOffset(height) + numberHeight + gap + numberHeight + 4;
  // The last X number is centred on the right edge, the top Y number on the top edge.
  right = std::max(5, widestX / 2 + 3);
  top = std::max(3, numberHeight / 2 + 3);
  return status == kStatusGood ? kTrue : kFalse;
}
