// Format detection, the input dispatcher and the raw readers.
#include "fileio/FInput.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>
#include <memory>
#include <sys/stat.h>
#include <vector>

#include "core/status.h"
#include "core/text.h"

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const noexcept {
    if (file) std::fclose(file);
  }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

bool ContainsNoCase(const unsigned char* buffer, int length, const char* key) {
  const int n = static_cast<int>(std::strlen(key));
  for (int i = 0; i + n <= length; ++i) {
    int k = 0;
    while (k < n && std::toupper(buffer[i + k]) == std::toupper(static_cast<unsigned char>(key[k]))) ++k;
    if (k == n) return true;
  }
  return false;
}

// A '{' header without "HEADER_BYTES" but with the keys of a key/value image header is one
// written by today's software with EDF_DataBlockID first: its letters fool the ADSC test.
bool LooksLikeKeyValueImage(const unsigned char* buffer, int length) {
  return length > 0 && buffer[0] == '{' && !ContainsNoCase(buffer, length, "HEADER_BYTES") &&
         ContainsNoCase(buffer, length, "DIM_1") && ContainsNoCase(buffer, length, "DATATYPE");
}

// None of bytes 1 to 13 (as far as read) is the letter.
bool NoLetterAfterBrace(const unsigned char* buffer, int length, char letter) {
  for (int i = 1; i <= 13 && i < length; ++i) {
    if (buffer[i] == static_cast<unsigned char>(letter)) return false;
  }
  return true;
}

// Reads the first lines of a text file (at most 256 characters each).
std::vector<std::string> FirstLines(const std::string& fileName, int count) {
  std::vector<std::string> lines;
  FilePtr file(std::fopen(fileName.c_str(), "r"));
  if (!file) return lines;
  std::string line;
  while (static_cast<int>(lines.size()) < count && IReadLine(file.get(), 256, line)) {
    lines.push_back(line);
  }
  return lines;
}

unsigned UInt16LE(const unsigned char* p) { return p[0] | (static_cast<unsigned>(p[1]) << 8); }

void Swap(unsigned char* bytes, std::size_t count, int mode) {
  if (mode == kSwapPairs) {
    for (std::size_t i = 0; i + 1 < count; i += 2) std::swap(bytes[i], bytes[i + 1]);
  } else if (mode == kSwapWords) {
    for (std::size_t i = 0; i + 3 < count; i += 4) {
      std::swap(bytes[i], bytes[i + 3]);
      std::swap(bytes[i + 1], bytes[i + 2]);
    }
  }
}

// The shared body of the six raw readers: seek, read chunk by chunk with FRead, convert.
template <class Element>
int RawRead(const char* name, bool failAsError, std::FILE* file, int swapMode,
            std::int64_t offset, int columns, int rows, float* destination, int& status) {
  const IRoutine routine{name, "V0.6"};
  if (IBad(routine, status)) return kFalse;
  if (columns <= 0 || rows <= 0) return kTrue;
  if (offset < 0 || fseeko(file, static_cast<off_t>(offset), SEEK_SET) != 0) {
    IWarning(std::string(name) + "; File positoning failed", status);
    return kFalse;
  }
  const std::size_t total = static_cast<std::size_t>(columns) * static_cast<std::size_t>(rows);
  constexpr std::size_t kChunkBytes = 131072;
  constexpr std::size_t kChunk = kChunkBytes / sizeof(Element);
  alignas(8) unsigned char buffer[kChunkBytes];
  std::size_t done = 0;
  while (done < total) {
    const std::size_t want = std::min(kChunk, total - done);
    std::size_t got = 0;
    FRead(file, sizeof buffer, want * sizeof(Element), swapMode, got, buffer, status);
    if (std::ferror(file)) {
      const std::string text = std::string(name) + ": Problem inputting data array from file";
      if (failAsError) {
        IError(text, status);
      } else {
        IWarning(text, status);
      }
      return kFalse;
    }
    const std::size_t elements = got / sizeof(Element);
    for (std::size_t i = 0; i < elements; ++i) {
      Element value;
      std::memcpy(&value, buffer + i * sizeof(Element), sizeof(Element));
      destination[done + i] = static_cast<float>(value);
    }
    if (elements < want) {
      IWarning(std::string(name) + ": Less bytes were input than were requested", status);
      // The rest of the image is not in the file: zeros, and no further warnings.
      std::fill(destination + done + elements, destination + total, 0.0f);
      return kTrue;
    }
    done += want;
  }
  return kTrue;
}

}  // namespace

int FElementSize(int type) {
  switch (type) {
    case kElementUI1: return 1;
    case kElementUI2:
    case kElementI2: return 2;
    case kElementUI4:
    case kElementI4:
    case kElementR4: return 4;
    default: return 0;
  }
}

// ---- Detection tests ----------------------------------------------------------------------

int FIsADSC(const unsigned char* buffer, int length) {
  return (length > 12 && buffer[0] == '{' && NoLetterAfterBrace(buffer, length, 'I')) ? kTrue
                                                                                       : kFalse;
}

int FIsBruker(const unsigned char* buffer, int length) {
  return (length >= 512 && std::memcmp(buffer, "FORMAT :", 8) == 0) ? kTrue : kFalse;
}

int FIsBSL(const std::string& fileName) {
  const auto lines = FirstLines(fileName, 4);
  if (lines.size() < 4) return kFalse;
  int v[10];
  if (std::sscanf(lines[2].c_str(), "%i %i %i %i %i %i %i %i %i %i", &v[0], &v[1], &v[2], &v[3],
                  &v[4], &v[5], &v[6], &v[7], &v[8], &v[9]) != 10) {
    return kFalse;
  }
  return (v[0] > 0 && v[1] > 0 && ITrimmedLength(lines[3]) > 0) ? kTrue : kFalse;
}

int FIsCBF(const unsigned char* buffer, int length) {
  return (length > 9 && std::memcmp(buffer, "###CBF:", 7) == 0) ? kTrue : kFalse;
}

int FIsChiplot(const std::string& fileName) {
  const auto lines = FirstLines(fileName, 5);
  if (lines.size() < 5) return kFalse;
  int first = 0, second = 0;
  if (std::sscanf(lines[3].c_str(), "%i %i", &first, &second) < 1 || first < 0) return kFalse;
  float x = 0.0f, y = 0.0f;
  return std::sscanf(lines[4].c_str(), "%f %f", &x, &y) == 2 ? kTrue : kFalse;
}

int FIsKlora(const unsigned char* buffer, int length) {
  return (length > 9 && buffer[0] == '{' && NoLetterAfterBrace(buffer, length, 'B')) ? kTrue
                                                                                       : kFalse;
}

int FIsPrinceton(const unsigned char* buffer, int length) {
  if (length < 1024) return kFalse;
  for (int i = 20; i <= 28; ++i) {
    if (!std::isprint(buffer[i])) return kFalse;
  }
  if (buffer[108] > 3 || buffer[109] > 3) return kFalse;
  const unsigned columns = UInt16LE(buffer + 42);
  if (columns < 1 || columns > 10000) return kFalse;
  return UInt16LE(buffer + 658) < 2 ? kTrue : kFalse;
}

int FIsTIFF(const unsigned char* buffer, int length) {
  if (length < 4) return kFalse;
  if (std::memcmp(buffer, "II*\0", 4) == 0 || std::memcmp(buffer, "MM\0*", 4) == 0) return kTrue;
  return kFalse;
}

int FIsVolume(const std::string& fileName) {
  const auto lines = FirstLines(fileName, 1);
  return (!lines.empty() && IStringsEqual(lines[0], "! HST_SLAVE VOLUME INFO FILE")) ? kTrue
                                                                                     : kFalse;
}

int FDeduceFileFormat(const std::string& fileName, int& format, int& status) {
  static constexpr IRoutine kR{"FDeduceFileFormat", "V0.9"};
  if (IBad(kR, status)) return kFalse;
  unsigned char buffer[1024];
  int length = 0;
  {
    FilePtr file(std::fopen(fileName.c_str(), "rb"));
    if (!file) return IFail(kR, kStatusFileOpen, status);
    length = static_cast<int>(std::fread(buffer, 1, sizeof buffer, file.get()));
  }
  if (length <= 0) return kFalse;

  const bool keyValueImage = LooksLikeKeyValueImage(buffer, length);
  struct Test {
    bool fits;
    int code;
    const char* line;
  };
  const Test tests[] = {
      {FIsADSC(buffer, length) && !keyValueImage, kFormatADSC,
       "The file contains an 'ADSC' format image"},
      {FIsBruker(buffer, length) != 0, kFormatBruker, "The file contains a Bruker format image"},
      {FIsBSL(fileName) != 0, kFormatBSL, "The file contains a BSL format image"},
      {FIsCBF(buffer, length) != 0, kFormatCBF, "The file contains a CBF format image"},
      {FIsChiplot(fileName) != 0, kFormatChiplot, "The file contains Chiplot format data"},
      {FIsKlora(buffer, length) || (FIsADSC(buffer, length) && keyValueImage), kFormatKlora,
       "The file contains a 'Klora' format image"},
      {FIsPrinceton(buffer, length) != 0, kFormatPrinceton,
       "The file contains a Princeton format image"},
      {FIsMar(buffer, length) != 0, kFormatMar, "The file contains a MarResearch format image"},
      {FIsTIFF(buffer, length) != 0, kFormatTIFF, "The file contains a TIFF image"},
      {FIsVolume(fileName) != 0, kFormatVolume, "The file contains a Volume image"},
  };
  int fits = 0;
  for (const Test& test : tests) {
    if (!test.fits) continue;
    ++fits;
    format = test.code;
    IInfo(test.line, status);
  }
  if (fits != 1) {
    IWarning(IFormat("FDeduceFileFormat: Number of formats which fit file = %i", fits), status);
    return kFalse;
  }
  return kTrue;
}

int FGetFileInfo(const std::string& fileName, FileInfo& info, int& status) {
  static constexpr IRoutine kR{"FGetFileInfo", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  int format = kFormatNone;
  if (!FDeduceFileFormat(fileName, format, status)) {
    info.format = -1;
    info.numDatasets = -1;
    return kFalse;
  }
  info.format = format;
  info.numDatasets = 1;
  if (format == kFormatBSL) {
    int count = 0;
    if (!FBSLNumDatasets(fileName, count, status)) {
      info.numDatasets = -1;
      return kFalse;
    }
    info.numDatasets = count;
  }
  return kTrue;
}

int FGetDatasetInfo(const std::string& fileName, int format, int dataset, DatasetInfo& info,
                    int& status) {
  static constexpr IRoutine kR{"FGetDatasetInfo", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  using Hook = int (*)(std::FILE*, const std::string&, int, DatasetInfo&, int&);
  Hook hook = nullptr;
  switch (format) {
    case kFormatBruker: hook = FBrukerDatasetInfo; break;
    case kFormatBSL: hook = FBSLDatasetInfo; break;
    case kFormatCBF: hook = FCBFDatasetInfo; break;
    case kFormatKlora: hook = FKloraDatasetInfo; break;
    case kFormatTIFF: hook = FTIFFDatasetInfo; break;
    case kFormatPrinceton: hook = FPrincetonDatasetInfo; break;
    case kFormatMar: hook = FMarDatasetInfo; break;
    case kFormatADSC: hook = FADSCDatasetInfo; break;
    case kFormatChiplot: hook = FChiplotDatasetInfo; break;
    case kFormatVolume: hook = FVolumeDatasetInfo; break;
    default: return kFalse;
  }
  const bool text = format == kFormatBSL || format == kFormatChiplot || format == kFormatVolume;
  FilePtr file(std::fopen(fileName.c_str(), text ? "r" : "rb"));
  if (!file) return IFail(kR, kStatusFileOpen, status);
  info.images = 1;
  if (!hook(file.get(), fileName, dataset, info, status)) return kFalse;
  if (format == kFormatTIFF || format == kFormatMar || format == kFormatCBF) {
    info.elementType = kElementUI4;
  } else if (format == kFormatChiplot || format == kFormatVolume) {
    info.elementType = kElementR4;
  }
  return kTrue;
}

int FInputImage(const std::string& fileName, int format, int dataset, int image, int /*prompt*/,
                DataSet& d, int& status) {
  static constexpr IRoutine kR{"FInputImage", "V0.6"};
  if (IBad(kR, status)) return kFalse;
  // Readers give a title only to a data-set that has none, so the title of the data held
  // before must not stick to the new image.
  const std::string oldTitle = d.title;
  d.title.clear();
  int result = kFalse;
  switch (format) {
    case kFormatBruker: result = FInputBruker(fileName, d, status); break;
    case kFormatBSL: result = FInputBSL(fileName, dataset, image, d, status); break;
    case kFormatCBF: result = FInputCBF(fileName, d, status); break;
    case kFormatKlora: result = FInputKlora(fileName, d, status); break;
    case kFormatTIFF: result = FInputTIFF(fileName, d, status); break;
    case kFormatPrinceton: result = FInputPrinceton(fileName, image, d, status); break;
    case kFormatMar: result = FInputMar(fileName, d, status); break;
    case kFormatADSC: result = FInputADSC(fileName, d, status); break;
    case kFormatChiplot: result = FInputChiplot(fileName, d, status); break;
    case kFormatVolume: result = FInputVolume(fileName, image, d, status); break;
    default:
      IWarning("FInputImage: The format is unsupported for file: " + fileName, status);
      break;
  }
  if (!result) {
    if (d.title.empty()) d.title = oldTitle;
    return kFalse;
  }
  if (d.title.empty()) FSetTitleFromFile(fileName, d, true);

  IDefineWholeImage(d, d.dimX, d.dimY);
  ISetText(d.fileName, fileName);
  return kTrue;
}

// ---- Block read and raw readers -----------------------------------------------------------

int FRead(std::FILE* file, std::size_t bufferSize, std::size_t count, int swapMode,
          std::size_t& bytesRead, unsigned char* buffer, int& status) {
  static constexpr IRoutine kR{"FRead", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  if (count > bufferSize) return IFail(kR, kStatusNumDefined1, status);
  bytesRead = std::fread(buffer, 1, count, file);
  if (bytesRead != count) {
    IWarning(IFormat("FRead; %i bytes input instead of %i requested", static_cast<int>(bytesRead),
                     static_cast<int>(count)),
             status);
  }
  if (swapMode == kSwapPairs || swapMode == kSwapWords) {
    Swap(buffer, bytesRead, swapMode);
  } else if (swapMode != kSwapNone) {
    IWarning("FRead; Unknown mode for byte swapping (or not)", status);
  }
  return kTrue;
}

int FInput2DR4(std::FILE* file, int swap, std::int64_t offset, int columns, int rows,
               float* destination, int& status) {
  return RawRead<float>("FInput2DR4", true, file, swap ? kSwapWords : kSwapNone, offset, columns,
                        rows, destination, status);
}

int FInput2DUI4(std::FILE* file, int swap, std::int64_t offset, int columns, int rows,
                float* destination, int& status) {
  return RawRead<std::uint32_t>("FInput2DUI4", true, file, swap ? kSwapWords : kSwapNone, offset,
                                columns, rows, destination, status);
}

int FInput2DI4(std::FILE* file, int swap, std::int64_t offset, int columns, int rows,
               float* destination, int& status) {
  return RawRead<std::int32_t>("FInput2DI4", true, file, swap ? kSwapWords : kSwapNone, offset,
                               columns, rows, destination, status);
}

int FInput2DUI2(std::FILE* file, int swap, std::int64_t offset, int columns, int rows,
                float* destination, int& status) {
  return RawRead<std::uint16_t>("FInput2DUI2", true, file, swap ? kSwapPairs : kSwapNone, offset,
                                columns, rows, destination, status);
}

int FInput2DI2(std::FILE* file, int swap, std::int64_t offset, int columns, int rows,
               float* destination, int& status) {
  return RawRead<std::int16_t>("FInput2DI2", true, file, swap ? kSwapPairs : kSwapNone, offset,
                               columns, rows, destination, status);
}

int FInput2DUI1(std::FILE* file, int /*swap: bytes have no order*/, std::int64_t offset,
                int columns, int rows, float* destination, int& status) {
  return RawRead<std::uint8_t>("FInput2DUI1", false, file, kSwapNone, offset, columns, rows,
                               destination, status);
}

int FOutput2DR4(std::FILE* file, const DataSet& d, int& status) {
  static constexpr IRoutine kR{"FOutput2DR4", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!d.data || d.endX < d.startX || d.endY < d.startY) return kFalse;
  const auto columns = static_cast<std::size_t>(d.endX - d.startX + 1);
  for (int y = d.startY; y <= d.endY; ++y) {
    if (std::fwrite(d.data.get() + IIndex(d, d.startX, y), sizeof(float), columns, file) !=
        columns) {
      return kFalse;
    }
  }
  return kTrue;
}

// ---- Header checks ------------------------------------------------------------------------

std::int64_t FFileLength(std::FILE* file) {
  struct stat info {};
  if (fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode)) {
    return static_cast<std::int64_t>(info.st_size);
  }
  return -1;
}

int FCheckImageSize(const char* routine, int columns, int rows, int elementSize,
                    std::int64_t offset, std::int64_t fileLength, int& status) {
  static constexpr IRoutine kR{"FCheckImageSize", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  if (columns <= 0 || rows <= 0 || elementSize <= 0 || offset < 0) {
    IWarning(IFormat("%s: Impossible image description in header: %i * %i pixels of %i bytes "
                     "from byte %lld",
                     routine, columns, rows, elementSize, static_cast<long long>(offset)),
             status);
    return kFalse;
  }
  const std::int64_t pixels = static_cast<std::int64_t>(columns) * rows;
  constexpr std::int64_t kLimit = std::numeric_limits<std::int64_t>::max() / 16;
  if (pixels > kLimit / elementSize) {
    IWarning(IFormat("%s: Impossible image size in header: %i * %i pixels", routine, columns,
                     rows),
             status);
    return kFalse;
  }
  if (fileLength < 0) return kTrue;
  if (offset >= fileLength) {
    IWarning(IFormat("%s: The pixel data would start at byte %lld, beyond the end of the file "
                     "(%lld bytes)",
                     routine, static_cast<long long>(offset), static_cast<long long>(fileLength)),
             status);
    return kFalse;
  }
  // A file cut short (an interrupted transfer) still opens, its missing pixels 0; a header
  // that describes far more than the file holds is not believed.
  const std::int64_t needed = pixels * elementSize;
  const std::int64_t available = fileLength - offset;
  if (needed > 2 * available + (std::int64_t{1} << 20)) {
    IWarning(IFormat("%s: The header describes %lld bytes of pixels, but the file holds only "
                     "%lld",
                     routine, static_cast<long long>(needed), static_cast<long long>(available)),
             status);
    return kFalse;
  }
  return kTrue;
}

void FSetTitleFromFile(const std::string& fileName, DataSet& d, bool onlyIfEmpty) {
  if (onlyIfEmpty && !d.title.empty()) return;
  std::string name = fileName;
  int local = kStatusGood;
  IGetFileName(fileName, name, local);
  ISetText(d.title, name);
}
