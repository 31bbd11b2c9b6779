// Chiplot scans: the reader of the input framework and the writer.
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <vector>

#include "core/status.h"
#include "core/text.h"
#include "fileio/FReaders.h"
#include "core/outputfile.h"
#include "fileio/FScanFiles.h"

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const noexcept {
    if (file) std::fclose(file);
  }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Point lines are read whole: wide numbers or generous spacing make them as long as they
// like, and a cut line would be misread as values of the next point.
constexpr int kWholeLine = INT_MAX;

// One "%i" conversion from `text` at `position`: optional blanks, sign, decimal, 0x hex or
// leading-zero octal. False when no number starts there or it does not fit an int.
bool ScanInteger(const std::string& text, std::size_t& position, int& value) {
  const char* start = text.c_str() + position;
  char* end = nullptr;
  errno = 0;
  const long long parsed = std::strtoll(start, &end, 0);
  if (end == start) return false;
  if (errno == ERANGE || parsed < INT_MIN || parsed > INT_MAX) {
    errno = 0;
    return false;
  }
  value = static_cast<int>(parsed);
  position += static_cast<std::size_t>(end - start);
  return true;
}

// A header that promises more points than the file can hold is not believed: every point
// line holds at least M + 1 one-character numbers, each followed by a blank or the line end.
int ChiplotSizesBelievable(std::FILE* file, int points, int columns, int& status) {
  if (points < 1 || columns < 1 || columns == INT_MAX) {
    IWarning(IFormat("FInputChiplot: Impossible number of data points or columns: %i %i", points,
                     columns),
             status);
    return kFalse;
  }
  const std::int64_t length = FFileLength(file);
  const long here = std::ftell(file);
  if (length >= 0 && here >= 0) {
    const std::int64_t least = static_cast<std::int64_t>(points) * 2 * (columns + 1LL) - 1;
    if (least > length - here) {
      IWarning(IFormat("FInputChiplot: The header describes %i points of %i values, more than "
                       "the file holds",
                       points, columns),
               status);
      return kFalse;
    }
    return kTrue;
  }
  return FCheckImageSize("FInputChiplot", points, columns, 4, 0, -1, status);
}

}  // namespace

int FChiImageInfo(std::FILE* file, int& points, int& columns, int& elementType, std::string& title,
                  std::string& xLabel, std::string& zLabel, int& status) {
  static constexpr IRoutine kR{"FChiImageInfo", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  std::string sizes;
  if (!IReadLine(file, 256, title) || !IReadLine(file, 256, xLabel) ||
      !IReadLine(file, 256, zLabel) || !IReadLine(file, kWholeLine, sizes)) {
    return IFail(kR, kStatusEndOfFile, status);
  }
  std::size_t position = 0;
  if (!ScanInteger(sizes, position, points)) {
    IWarning("FInputChiplot: Failed to input number of data points", status);
    return kFalse;
  }
  // "N M", or "N" alone, or the writer's "N errors": one column unless a second number
  // follows.
  while (position < sizes.size() && std::isspace(static_cast<unsigned char>(sizes[position]))) {
    ++position;
  }
  if (!ScanInteger(sizes, position, columns)) columns = 1;
  elementType = kElementR4;
  return kTrue;
}

int FChiplotDatasetInfo(std::FILE* file, const std::string& /*fileName*/, int /*dataset*/,
                        DatasetInfo& info, int& status) {
  static constexpr IRoutine kR{"FChiplotDatasetInfo", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  int points = 0, columns = 0, type = 0;
  std::string title, xLabel, zLabel;
  if (!FChiImageInfo(file, points, columns, type, title, xLabel, zLabel, status)) return kFalse;
  if (!ChiplotSizesBelievable(file, points, columns, status)) return kFalse;
  info.columns = points;
  info.rows = columns;
  info.images = 1;
  info.elementType = type;
  return kTrue;
}

int FInputChiplot(const std::string& fileName, DataSet& d, int& status) {
  static constexpr IRoutine kR{"FInputChiplot", "V0.6"};
  if (IBad(kR, status)) return kFalse;
  bool refused = false;
  FilePtr file(FOpenInputFile(kR.name, fileName, "r", refused, status));
  if (refused) return kFalse;
  if (!file) return IFail(kR, kStatusFileOpen, status);
  int points = 0, columns = 0, type = 0;
  std::string title, xLabel, zLabel;
  if (!FChiImageInfo(file.get(), points, columns, type, title, xLabel, zLabel, status)) {
    return kFalse;
  }
  if (!ChiplotSizesBelievable(file.get(), points, columns, status)) return kFalse;
  if (!IAllocateData(points, columns, d, status)) return kFalse;

  std::string line;
  std::vector<std::string> tokens;
  float first = 0.0f;
  float step = d.pixelSizeX;
  for (int c = 0; c < points; ++c) {
    IReadLine(file.get(), kWholeLine, line);  // a missing line reads as empty
    int count = 0;
    IString2Tokens(line, columns + 1, count, tokens, status);
    if (count < columns + 1) {
      IWarning(IFormat("FInputChiplot: For x = %i, not enough values on line", c), status);
      return kFalse;
    }
    const auto convert = [&](const std::string& token, float& value) {
      if (IToken2Real(token, value, status)) return true;
      IWarning(IFormat("FInputChiplot: For x = %i, Couldn't convert value", c), status);
      return false;
    };
    // Only the first two abscissae are read: the axis is an origin and an increment.
    if (c < 2) {
      float x = 0.0f;
      if (!convert(tokens[0], x)) return kFalse;
      if (c == 0) {
        first = x;
      } else {
        step = x - first;
      }
    }
    for (int m = 0; m < columns; ++m) {
      float value = 0.0f;
      if (!convert(tokens[static_cast<std::size_t>(m) + 1], value)) return kFalse;
      d.data[IIndex(d, c, m)] = value;
    }
  }

  ISetText(d.title, title);
  ISetText(d.xLabel, xLabel);
  ISetText(d.zLabel, zLabel);
  d.xAxisStart = first;
  d.pixelSizeX = step;
  d.xAxisInPixels = kFalse;
  d.pixelSizeY = 1.0f;
  d.yAxisStart = 1.0f;
  return kTrue;
}

int FOutputChiplot(const std::string& fileName, const DataSet& d, int& status) {
  static constexpr IRoutine kR{"FOutputChiplot", "V0.5"};
  if (IBad(kR, status)) return kFalse;
  if (!ICheckDataLayout("FOutputChiplot:", d, status)) return kFalse;
  if (!d.dataDefined || !d.data) {
    IWarning("FOutputChiplot: Data is not defined", status);
    return kFalse;
  }
  IOutputFile out;
  if (!out.Open(fileName)) {
    IWarning(IFormat("File open failed: %s", fileName.c_str()), status);
    return kFalse;
  }
  std::FILE* file = out.File();
  const int width = d.endX - d.startX + 1;
  const int height = d.endY - d.startY + 1;
  const bool errors = height == 1 && d.variancesDefined && d.variances;
  std::fprintf(file, "%s\n%s\n%s\n", d.title.c_str(), d.xLabel.c_str(), d.zLabel.c_str());
  if (errors) {
    std::fprintf(file, "%i errors\n", width);
  } else {
    std::fprintf(file, "%i %i\n", width, height);
  }

  // The abscissa advances by repeated 32-bit addition, as the axis of the graph does.
  float x = d.xAxisStart;
  float step = 1.0f;
  if (!d.xAxisInPixels) {
    x = static_cast<float>(d.startX) * d.pixelSizeX + d.xAxisStart;
    step = d.pixelSizeX;
  }
  for (int c = d.startX; c <= d.endX; ++c) {
    std::fprintf(file, "%14.7g", static_cast<double>(x));
    if (errors) {
      const std::size_t i = IIndex(d, c, d.startY);
      std::fprintf(file, " %14.7g 0.0 %14.7g", static_cast<double>(d.data[i]),
                   static_cast<double>(std::sqrt(d.variances[i])));
    } else {
      for (int y = d.startY; y <= d.endY; ++y) {
        std::fprintf(file, " %14.7g", static_cast<double>(d.data[IIndex(d, c, y)]));
      }
    }
    std::fputc('\n', file);
    x += step;
  }
  if (!out.Commit()) {
    IWarning(IFormat("FOutputChiplot: Problem writing data to output file: %s", fileName.c_str()),
             status);
    return kFalse;
  }
  return kTrue;
}
