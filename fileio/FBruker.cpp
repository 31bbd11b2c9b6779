// Bruker images: a header of 80-character "KEYWORD:value" records ended by a control-Z, the
// pixels (1 or 2 bytes, low byte first) at "HDRBLKS" x 512, and right after them a table of
// "NOVERFL" 16-character records giving the true intensity of pixels that overflowed.
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>

#include "core/status.h"
#include "core/text.h"
#include "fileio/FReaders.h"
#include "fileio/FTextHeaders.h"

namespace {

constexpr int kRecordLength = 80;
constexpr int kHeaderBlock = 512;
constexpr int kOverflowRecord = 16;  // intensity in 9 characters, position in 7
constexpr int kControlZ = 26;

// One header record: up to 80 characters, or fewer up to and including a line end. False at
// the end of the file with nothing read.
bool ReadRecord(std::FILE* file, std::string& record) {
  record.clear();
  int c;
  while (record.size() < kRecordLength && (c = std::fgetc(file)) != EOF) {
    record.push_back(static_cast<char>(c));
    if (c == '\n') break;
  }
  return !record.empty();
}

// A decimal field with leading blanks ("   123456"); false when it holds no number.
bool DecimalField(const char* field, int width, long long& value) {
  const char* p = field;
  const char* const end = field + width;
  while (p < end && (*p == ' ' || *p == '\t')) ++p;
  if (p < end && *p == '+') ++p;
  const auto result = std::from_chars(p, end, value, 10);
  return result.ec == std::errc() && result.ptr != p;
}

// The record as text for a message (it stops at an embedded terminator).
std::string RecordText(const char* record) {
  return std::string(record, static_cast<std::size_t>(kOverflowRecord)).c_str();
}

}  // namespace

int FBrukerImageInfo(std::FILE* file, TextHeaderInfo& header, int& status) {
  static constexpr IRoutine kR{"FBrukerImageInfo", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  std::string record;
  while (ReadRecord(file, record)) {
    if (static_cast<unsigned char>(record[0]) == kControlZ) {
      if (header.bytesPerPixel == 1) {
        header.elementType = kElementUI1;
      } else if (header.bytesPerPixel == 2) {
        header.elementType = kElementUI2;
      }
      return kTrue;
    }
    const std::string key = record.substr(0, 7);
    std::string value = record.size() > 8 ? record.substr(8) : std::string();
    value.resize(static_cast<std::size_t>(ITrimmedLength(value)));

    int number = 0;
    if (IStringsEqual(key, "HDRBLKS")) {
      if (IToken2Integer(value, number, status)) {
        header.offset = static_cast<std::int64_t>(number) * kHeaderBlock;
      } else {
        IWarning("FBrukerImageInfo; Problem with 'HEADER_BLOCKS': " + value, status);
      }
    } else if (IStringsEqual(key, "NOVERFL")) {
      if (!IToken2Integer(value, header.numOverflow, status)) {
        IWarning("FBrukerImageInfo; Problem with 'NOVERFL': " + value, status);
      }
    } else if (IStringsEqual(key, "NPIXELB")) {
      if (!IToken2Integer(value, header.bytesPerPixel, status)) {
        IWarning("FBrukerImageInfo; Problem with 'NPIXELB': " + value, status);
      }
    } else if (IStringsEqual(key, "NCOLS")) {
      if (!IToken2Integer(value, header.columns, status)) {
        IWarning("FBrukerImageInfo; Problem with 'NCOLS': " + value, status);
      }
    } else if (IStringsEqual(key, "NROWS")) {
      if (!IToken2Integer(value, header.rows, status)) {
        IWarning("FBrukerImageInfo; Problem with 'NROWS': " + value, status);
      }
    }
  }
  IWarning(IFormat("FBrukerImageInfo; Problem with 'fgets': errno = %i", errno), status);
  return kFalse;
}

int FBrukerInputImage(std::FILE* file, const TextHeaderInfo& header, DataSet& dataSet,
                      int& status) {
  static constexpr IRoutine kR{"FBrukerInputImage", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  if (header.elementType != kElementUI1 && header.elementType != kElementUI2) {
    IError(IFormat("FBrukerInputImage: Unknown data-type: %i", header.elementType), status);
    return kFalse;
  }
  // Bruker files are written low byte first, this machine's order.
  if (!FInputPixelBlock(file, header, kFalse, dataSet, status)) return kFalse;
  if (header.numOverflow <= 0) return kTrue;

  // The overflow table starts right after the last pixel.
  const std::int64_t pixels = static_cast<std::int64_t>(header.columns) * header.rows;
  const std::int64_t start = header.offset + pixels * FElementSize(header.elementType);
  const std::int64_t length = FFileLength(file);
  if ((length >= 0 && start > length) || fseeko(file, static_cast<off_t>(start), SEEK_SET) != 0) {
    IWarning("FBrukerInputImage; File positoning failed for overflow table", status);
    return kFalse;
  }
  // A table the file cannot hold is refused before any record is read.
  const std::int64_t tableBytes = static_cast<std::int64_t>(header.numOverflow) * kOverflowRecord;
  if (length >= 0 && tableBytes > length - start) {
    IWarning("FBrukerInputImage; Problem inputting overflow vlaues", status);
    return kFalse;
  }

  float* const data = dataSet.data.get();
  char record[kOverflowRecord];
  for (int i = 0; i < header.numOverflow; ++i) {
    if (std::fread(record, 1, sizeof record, file) != sizeof record) {
      IWarning("FBrukerInputImage; Problem inputting overflow vlaues", status);
      return kFalse;
    }
    long long intensity = 0, position = 0;
    if (!DecimalField(record, 9, intensity)) {
      IWarning("FBrukerInputImage; Problem with intensity: " + RecordText(record), status);
      continue;
    }
    if (!DecimalField(record + 9, 7, position)) {
      IWarning("FBrukerInputImage; Problem with position: " + RecordText(record), status);
      continue;
    }
    // The position counts pixels in file order, which is the order of the data array.
    if (position < 0 || position >= pixels) continue;
    data[position] = static_cast<float>(intensity);
  }
  return kTrue;
}

int FBrukerDatasetInfo(std::FILE* file, const std::string&, int, DatasetInfo& info, int& status) {
  static constexpr IRoutine kR{"FBrukerDatasetInfo", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  return FTextHeaderDatasetInfo(file, nullptr, FBrukerImageInfo, info, status);
}

int FInputBruker(const std::string& fileName, DataSet& dataSet, int& status) {
  static constexpr IRoutine kR{"FInputBruker", "V0.3"};
  TextHeaderInfo header;
  if (!FInputTextHeaderFile(kR, fileName, nullptr, FBrukerImageInfo, FBrukerInputImage,
                            "FBrukerInputImage", header, dataSet, status)) {
    return kFalse;
  }
  FSetTitleFromFile(fileName, dataSet, false);
  return kTrue;
}
