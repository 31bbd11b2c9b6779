// BSL data-sets: a text header file (title line, description line, then for each data-set a
// line of at least ten integers and the name of its binary file) beside raw binary files,
// each holding the frames of one data-set one after the other.
#include <sys/types.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "core/status.h"
#include "core/text.h"
#include "fileio/FBinaryHeaders.h"
#include "fileio/FReaders.h"

namespace {

constexpr int kLineCapacity = 256;

// BSL data type codes 0 to 9 as element types.
constexpr int kBSLTypes[10] = {kElementR4, kElementBSL1, kElementUI1, kElementI2, kElementUI2,
                               kElementI4, kElementUI4,  kElementBSL7, kElementBSL8, kElementBSL9};

std::string WithoutTrailingBlanks(const std::string& text) {
  return text.substr(0, static_cast<std::size_t>(ITrimmedLength(text)));
}

}  // namespace

int FBSLFileHeader(std::FILE* file, BSLHeader& h, int& status) {
  static constexpr IRoutine kR{"FBSLFileHeader", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  std::string line;
  if (!IReadLine(file, kLineCapacity, line)) return kFalse;
  int count = 0;
  std::vector<std::string> tokens;
  IString2Tokens(line, 20, count, tokens, status);
  if (count < 10) return kFalse;

  struct Field {
    int* value;
    const char* message;
  };
  int byteOrder = -1, type = -1;
  const Field fields[] = {
      {&h.columns, "FBSLFileHeader; Could not interpret number of X-pixels: %s"},
      {&h.rows, "FBSLFileHeader; Could not interpret number of Y-pixels: %s"},
      {&h.frames, "FBSLFileHeader; Could not interpret frame number: %s"},
      {&byteOrder, "FBSLFileHeader; Could not interpret file byte ordering: %s"},
      {&type, "FBSLFileHeader; Could not interpret data type: %s"},
  };
  for (int i = 0; i < 5; ++i) {
    if (!IToken2Integer(tokens[static_cast<std::size_t>(i)], *fields[i].value, status)) {
      IWarning(IFormat(fields[i].message, tokens[static_cast<std::size_t>(i)].c_str()), status);
      return kFalse;
    }
  }
  if (byteOrder != 0 && byteOrder != 1) {
    IWarning(IFormat("FBSLFileHeader; Undefined value for byte order: %i", byteOrder), status);
    return kFalse;
  }
  h.byteOrder = byteOrder == 0 ? kByteOrderHighFirst : kByteOrderLowFirst;
  if (type < 0 || type > 9) {
    IWarning(IFormat("FBSLFileHeader; Undefined value for data type: %i", type), status);
    return kFalse;
  }
  h.elementType = kBSLTypes[type];
  if (!IReadLine(file, kLineCapacity, line)) {
    IWarning("FBSLFileHeader; Problem inputting file name", status);
    return kFalse;
  }
  h.binaryName = WithoutTrailingBlanks(line);
  return kTrue;
}

int FBSLNumDatasets(const std::string& fileName, int& count, int& status) {
  static constexpr IRoutine kR{"FBSLNumDatasets", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  count = 0;
  bool refused = false;
  FBinaryFile file(FOpenInputFile(kR.name, fileName, "r", refused, status));
  if (refused) return kFalse;
  if (!file) return IFail(kR, kStatusFileOpen, status);
  std::string line;
  if (!IReadLine(file.get(), kLineCapacity, line) || !IReadLine(file.get(), kLineCapacity, line)) {
    return kTrue;
  }
  BSLHeader h;
  while (FBSLFileHeader(file.get(), h, status)) {
    ++count;
    IInfo(IFormat("Data-set %i contains %i image(s) of %i x %i pixels", count, h.frames,
                  h.columns, h.rows),
          status);
  }
  return status == kStatusGood ? kTrue : kFalse;
}

int FBSLImageInfo(std::FILE* file, const std::string& fileName, int dataset, BSLHeader& h,
                  int& status) {
  static constexpr IRoutine kR{"FBSLImageInfo", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  if (dataset < 1) {
    IWarning(IFormat("FBSLImageInfo: There is no data-set %i", dataset), status);
    return kFalse;
  }
  std::rewind(file);
  std::string line;
  if (!IReadLine(file, kLineCapacity, line)) return kFalse;
  if (ITrimmedLength(line) > 0) h.title = WithoutTrailingBlanks(line);
  // The description line, then the two lines of every data-set before this one.
  const std::int64_t skip = 1 + 2 * (static_cast<std::int64_t>(dataset) - 1);
  for (std::int64_t i = 0; i < skip; ++i) {
    if (!IReadLine(file, kLineCapacity, line)) return kFalse;
  }
  if (!FBSLFileHeader(file, h, status)) return kFalse;
  // The binary file lies beside its header: the header names it, it does not point anywhere
  // else. A name with a folder in it (a header naming ../../etc/hostname) is refused.
  const std::string& name = h.binaryName;
  if (name.empty() || name == "." || name == ".." ||
      name.find_first_of("/\\") != std::string::npos) {
    IWarning(IFormat("FBSLImageInfo: The header names its binary file \"%s\": only a plain "
                     "name in the header's own folder is read",
                     name.c_str()),
             status);
    return kFalse;
  }
  std::string directory;
  IGetFileDirectory(fileName, directory, status);
  h.binaryPath = directory + h.binaryName;
  return kTrue;
}

int FBSLInputImage(const BSLHeader& h, int frame, DataSet& d, int& status) {
  static constexpr IRoutine kR{"FBSLInputImage", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  // The binary file is named by the header: a device or a pipe there is refused (it would
  // block, or fill any image the header asks for).
  bool refused = false;
  FBinaryFile file(FOpenInputFile(kR.name, h.binaryPath, "rb", refused, status));
  if (refused) return kFalse;
  if (!file) {
    IError("FBSLInputImage; Failed to open memory file: " + h.binaryPath, status);
    return kFalse;
  }
  using Reader = int (*)(std::FILE*, int, std::int64_t, int, int, float*, int&);
  Reader reader = nullptr;
  switch (h.elementType) {
    case kElementUI2: reader = FInput2DUI2; break;
    case kElementI2: reader = FInput2DI2; break;
    case kElementUI4: reader = FInput2DUI4; break;
    case kElementI4: reader = FInput2DI4; break;
    case kElementR4: reader = FInput2DR4; break;
    default:
      IWarning(IFormat("ERROR: FBSLInputImage: Unknown data-type: %i", h.elementType), status);
      return kFalse;
  }
  if (frame < 1 || frame > h.frames) {
    IWarning(IFormat("FBSLInputImage: Frame %i does not exist; the data-set holds %i frame(s)",
                     frame, h.frames),
             status);
    return kFalse;
  }
  const int size = FElementSize(h.elementType);
  if (!FCheckImageSize(kR.name, h.columns, h.rows, size, 0, -1, status)) return kFalse;
  // The frame's offset is formed only once it is known to lie inside the file.
  const std::int64_t frameBytes = static_cast<std::int64_t>(h.columns) * h.rows * size;
  const std::int64_t length = FFileLength(file.get());
  const std::int64_t limit = length >= 0 ? length : std::numeric_limits<std::int64_t>::max() / 2;
  if (frame - 1 > limit / frameBytes) {
    IWarning(IFormat("FBSLInputImage: Frame %i lies beyond the end of the file: %s", frame,
                     h.binaryPath.c_str()),
             status);
    return kFalse;
  }
  const std::int64_t offset = (frame - 1) * frameBytes;
  if (!FCheckImageSize(kR.name, h.columns, h.rows, size, offset, length, status)) return kFalse;
  if (!IAllocateData(h.columns, h.rows, d, status)) return kFalse;
  const int swap = h.byteOrder != kByteOrderLowFirst ? kTrue : kFalse;
  return reader(file.get(), swap, offset, h.columns, h.rows, d.data.get(), status);
}

int FBSLDatasetInfo(std::FILE* file, const std::string& fileName, int dataset, DatasetInfo& info,
                    int& status) {
  static constexpr IRoutine kR{"FBSLDatasetInfo", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  BSLHeader h;
  if (!FBSLImageInfo(file, fileName, dataset, h, status)) return kFalse;
  info.columns = h.columns;
  info.rows = h.rows;
  info.images = h.frames;
  info.elementType = h.elementType;
  return kTrue;
}

int FInputBSL(const std::string& fileName, int dataset, int image, DataSet& d, int& status) {
  static constexpr IRoutine kR{"FInputBSL", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  BSLHeader h;
  {
    bool refused = false;
    FBinaryFile file(FOpenInputFile(kR.name, fileName, "r", refused, status));
    if (refused) return kFalse;
    if (!file) return IFail(kR, kStatusFileOpen, status);
    if (!FBSLImageInfo(file.get(), fileName, dataset, h, status)) {
      IError("FInputBSL: Problem inputting header information: " + fileName, status);
      return kFalse;
    }
  }
  if (!FBSLInputImage(h, image, d, status)) return kFalse;
  if (!h.title.empty()) ISetText(d.title, h.title);
  FSetTitleFromFile(h.binaryPath, d, true);
  return kTrue;
}
