// Klora images: an EDF-style header "{ key = value ; ... }" followed by the pixels. The
// key/value grammar and the checks on a header's pixel block are shared with the other
// text-header readers.
#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "core/status.h"
#include "core/text.h"
#include "fileio/FReaders.h"
#include "fileio/FTextHeaders.h"

namespace {

constexpr int kHeaderLine = 256;  // a header line keeps at most 255 characters

void TrimTrailing(std::string& text) {
  text.resize(static_cast<std::size_t>(ITrimmedLength(text)));
}

// The key of "key = ..." upper-cased, or false when the line has none ('=' must stand at index
// 2 or later, after at least one character that is neither blank nor tab).
bool SplitKey(const std::string& line, std::string& key, int& equals, int& status) {
  equals = IFindCharacter(line, '=');
  if (equals < 2) return false;
  const int start = IFirstNonBlank(line, 0);
  if (start < 0 || start >= equals) return false;
  key = line.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(equals - start));
  TrimTrailing(key);
  IConvertUpperCase(key, status);
  return !key.empty();
}

}  // namespace

int FReadHeaderLine(std::FILE* file, std::string& line) {
  line.clear();
  int c = EOF;
  bool any = false;
  while (line.size() < kHeaderLine - 1 && (c = std::fgetc(file)) != EOF) {
    any = true;
    if (c == '\n') break;
    if (c != '\r' && c != '\0') line.push_back(static_cast<char>(c));
  }
  return any ? kTrue : kFalse;
}

int FKloraKeyValue(const std::string& line, std::string& key, std::string& value, int& status) {
  static constexpr IRoutine kR{"FKloraKeyValue", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  int equals = -1;
  if (!SplitKey(line, key, equals, status)) return kFalse;
  const int start = IFirstNonBlank(line, equals + 1);
  if (start < 0) return kFalse;
  const int end = IFindText(line, start, ";");
  if (end < 0) return kFalse;  // no terminator: the line carries no value
  value = line.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start));
  TrimTrailing(value);
  // One character is a whole value ("Dim_1 = 5 ;").
  return value.empty() ? kFalse : kTrue;
}

int FVolumeKeyValue(const std::string& line, std::string& key, std::string& value, int& status) {
  static constexpr IRoutine kR{"FVolumeKeyValue", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  int equals = -1;
  if (!SplitKey(line, key, equals, status)) return kFalse;
  const int start = IFirstNonBlank(line, equals + 1);
  if (start < 0) return kFalse;
  value = line.substr(static_cast<std::size_t>(start));
  TrimTrailing(value);
  return value.empty() ? kFalse : kTrue;
}

int FInputTextHeaderFile(const IRoutine& routine, const std::string& fileName,
                         FTextHeaderStart start, FTextHeaderReader readHeader,
                         FTextImageReader readImage, const char* imageRoutine,
                         TextHeaderInfo& header, DataSet& dataSet, int& status) {
  if (IBad(routine, status)) return kFalse;
  bool refused = false;
  const FOwnedFile file(FOpenInputFile(routine.name, fileName, "rb", refused, status));
  if (refused) return kFalse;
  if (!file) return IFail(routine, kStatusFileOpen, status);
  if (start && !start(file.get(), status)) {
    IWarning(std::string(routine.name) + ": Problem finding start of header: " + fileName,
             status);
    return kFalse;
  }
  if (!readHeader(file.get(), header, status)) {
    IWarning(std::string(routine.name) + ": Problem inputting header information: " + fileName,
             status);
    return kFalse;
  }
  if (!FCheckPixelBlock(routine.name, header, FElementSize(header.elementType), file.get(),
                        status)) {
    return kFalse;
  }
  if (!IAllocateData(header.columns, header.rows, dataSet, status)) return kFalse;
  if (!readImage(file.get(), header, dataSet, status)) {
    IWarning(std::string(imageRoutine) + " was not successful", status);
    return kFalse;
  }
  return kTrue;
}

int FTextHeaderDatasetInfo(std::FILE* file, FTextHeaderStart start, FTextHeaderReader readHeader,
                           DatasetInfo& info, int& status) {
  TextHeaderInfo header;
  if ((start && !start(file, status)) || !readHeader(file, header, status)) return kFalse;
  info.columns = header.columns;
  info.rows = header.rows;
  info.elementType = header.elementType;
  return kTrue;
}

int FCheckPixelBlock(const char* routine, const TextHeaderInfo& header, int elementSize,
                     std::FILE* file, int& status) {
  static constexpr IRoutine kR{"FCheckPixelBlock", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  // A type no reader knows is refused later, with its own message, by the pixel routine; the
  // sizes are still held to the file as if each pixel took one byte.
  return FCheckImageSize(routine, header.columns, header.rows, std::max(elementSize, 1),
                         header.offset, FFileLength(file), status);
}

int FInputPixelBlock(std::FILE* file, const TextHeaderInfo& header, int swap, DataSet& dataSet,
                     int& status) {
  static constexpr IRoutine kR{"FInputPixelBlock", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  // The raw readers fill columns x rows consecutive reals: the array must be exactly that.
  if (!dataSet.data || dataSet.dimX != header.columns || dataSet.dimY != header.rows) {
    return IFail(kR, kStatusNotAllocated, status);
  }
  float* const data = dataSet.data.get();
  const int columns = header.columns;
  const int rows = header.rows;
  switch (header.elementType) {
    case kElementUI1:
      return FInput2DUI1(file, swap, header.offset, columns, rows, data, status);
    case kElementUI2:
      return FInput2DUI2(file, swap, header.offset, columns, rows, data, status);
    case kElementI2:
      return FInput2DI2(file, swap, header.offset, columns, rows, data, status);
    case kElementUI4:
      return FInput2DUI4(file, swap, header.offset, columns, rows, data, status);
    case kElementI4:
      return FInput2DI4(file, swap, header.offset, columns, rows, data, status);
    case kElementR4:
      return FInput2DR4(file, swap, header.offset, columns, rows, data, status);
    default:
      return IFail(kR, kStatusBadFileData, status);
  }
}

int FKloraHeader(std::FILE* file, int& status) {
  static constexpr IRoutine kR{"FKloraHeader", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  std::string line;
  while (FReadHeaderLine(file, line)) {
    if (!line.empty() && line[0] == '{') return kTrue;
  }
  IWarning(IFormat("FKloraHeader; Problem with 'fgets': errno = %i", errno), status);
  return kFalse;
}

int FKloraImageInfo(std::FILE* file, TextHeaderInfo& header, int& status) {
  static constexpr IRoutine kR{"FKloraImageInfo", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  std::string line, key, value;
  while (FReadHeaderLine(file, line)) {
    const int first = IFirstNonBlank(line, 0);
    if (first >= 0 && line[static_cast<std::size_t>(first)] == '}') {
      // The pixels follow the closing line, its line end included.
      header.offset = static_cast<std::int64_t>(ftello(file));
      return kTrue;
    }
    if (!FKloraKeyValue(line, key, value, status)) continue;

    if (IStringsEqual(key, "BYTEORDER")) {
      IConvertUpperCase(value, status);
      if (IStringsEqual(value, "HIGHBYTEFIRST")) {
        header.byteOrder = kByteOrderHighFirst;
      } else if (IStringsEqual(value, "LOWBYTEFIRST")) {
        header.byteOrder = kByteOrderLowFirst;
      } else {
        IWarning("FKloraImageInfo; Byte ordering incorrectly defined", status);
      }
    } else if (IStringsEqual(key, "DATATYPE")) {
      IConvertUpperCase(value, status);
      if (IStringsEqual(value, "UNSIGNEDINTEGER") || IStringsEqual(value, "UNSIGNEDLONG")) {
        header.elementType = kElementUI4;
      } else if (IStringsEqual(value, "UNSIGNEDBYTE")) {
        header.elementType = kElementUI1;
      } else if (IStringsEqual(value, "SIGNEDINTEGER")) {
        header.elementType = kElementI4;
      } else if (IStringsEqual(value, "UNSIGNEDSHORT")) {
        header.elementType = kElementUI2;
      } else if (IStringsEqual(value, "SIGNEDSHORT")) {
        header.elementType = kElementI2;
      } else if (IStringsEqual(value, "FLOAT") || IStringsEqual(value, "FLOATVALUE") ||
                 IStringsEqual(value, "REAL")) {
        header.elementType = kElementR4;
      } else {
        IWarning("FKloraImageInfo; Unsupported or incorrect data type: " + value, status);
      }
    } else if (IStringsEqual(key, "DIM_1")) {
      if (!IToken2Integer(value, header.columns, status)) {
        IWarning("FKloraImageInfo; Problem with 'DIM_1' value: " + value, status);
      }
    } else if (IStringsEqual(key, "DIM_2")) {
      if (!IToken2Integer(value, header.rows, status)) {
        IWarning("FKloraImageInfo; Problem with 'DIM_2' value: " + value, status);
      }
    } else if (IStringsEqual(key, "TITLE")) {
      ISetText(header.title, value);
    }
  }
  IWarning(IFormat("FKloraImageInfo; Problem with 'fgets': errno = %i", errno), status);
  return kFalse;
}

int FKloraInputImage(std::FILE* file, const TextHeaderInfo& header, DataSet& dataSet, int& status) {
  static constexpr IRoutine kR{"FKloraInputImage", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  switch (header.elementType) {
    case kElementUI1:
    case kElementUI2:
    case kElementI2:
    case kElementUI4:
    case kElementI4:
    case kElementR4:
      break;
    default:
      IError(IFormat("FKloraInputImage: Unknown data-type: %i", header.elementType), status);
      return kFalse;
  }
  // A header without "ByteOrder" is taken as high byte first.
  const int swap = header.byteOrder != kByteOrderLowFirst ? kTrue : kFalse;
  return FInputPixelBlock(file, header, swap, dataSet, status);
}

int FKloraDatasetInfo(std::FILE* file, const std::string&, int, DatasetInfo& info, int& status) {
  static constexpr IRoutine kR{"FKloraDatasetInfo", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  return FTextHeaderDatasetInfo(file, FKloraHeader, FKloraImageInfo, info, status);
}

int FInputKlora(const std::string& fileName, DataSet& dataSet, int& status) {
  static constexpr IRoutine kR{"FInputKlora", "V0.3"};
  TextHeaderInfo header;
  if (!FInputTextHeaderFile(kR, fileName, FKloraHeader, FKloraImageInfo, FKloraInputImage,
                            "FKloraInputImage", header, dataSet, status)) {
    return kFalse;
  }
  // The header's title, else the file's name; never a title left from an earlier image.
  ISetText(dataSet.title, header.title);
  FSetTitleFromFile(fileName, dataSet, true);
  return kTrue;
}
