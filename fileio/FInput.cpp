// Format detection and the input dispatcher.
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

}  // namespace

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
