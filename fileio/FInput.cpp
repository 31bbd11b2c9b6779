// Format detection and the input dispatcher.
#include "fileio/FInput.h"

#include "data/Experiment.h"

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

// Detection looks at the first few KiB of a file and no further: a file of any length (or one
// that is all zeros, without a line end) is told apart in bounded time.
constexpr int kDetectionBytes = 4096;
// The binary tests look at the first 1024 bytes.
constexpr int kBinaryTestBytes = 1024;

// The first bytes of a regular file, at most kDetectionBytes; empty when it cannot be read.
std::string FirstBytes(const std::string& fileName) {
  bool notRegular = false;
  FilePtr file(FOpenRegularFile(fileName, "rb", notRegular));
  if (!file) return {};
  std::string bytes(kDetectionBytes, '\0');
  bytes.resize(std::fread(bytes.data(), 1, bytes.size(), file.get()));
  return bytes;
}

// The first lines of the detection bytes, as the line reader gives them: at most 255
// characters kept, carriage returns and zero bytes dropped. A line cut by the end of the bytes
// still counts.
std::vector<std::string> FirstLines(const std::string& bytes, int count) {
  std::vector<std::string> lines;
  std::string line;
  bool any = false;
  for (char c : bytes) {
    if (static_cast<int>(lines.size()) >= count) break;
    any = true;
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
      any = false;
    } else if (c != '\r' && c != '\0' && line.size() < 255) {
      line.push_back(c);
    }
  }
  if (any && static_cast<int>(lines.size()) < count) lines.push_back(line);
  return lines;
}

int IsBSL(const std::string& bytes) {
  const auto lines = FirstLines(bytes, 4);
  if (lines.size() < 4) return kFalse;
  int v[10];
  if (std::sscanf(lines[2].c_str(), "%i %i %i %i %i %i %i %i %i %i", &v[0], &v[1], &v[2], &v[3],
                  &v[4], &v[5], &v[6], &v[7], &v[8], &v[9]) != 10) {
    return kFalse;
  }
  return (v[0] > 0 && v[1] > 0 && ITrimmedLength(lines[3]) > 0) ? kTrue : kFalse;
}

int IsChiplot(const std::string& bytes) {
  const auto lines = FirstLines(bytes, 5);
  if (lines.size() < 5) return kFalse;
  int first = 0, second = 0;
  if (std::sscanf(lines[3].c_str(), "%i %i", &first, &second) < 1 || first < 0) return kFalse;
  float x = 0.0f, y = 0.0f;
  return std::sscanf(lines[4].c_str(), "%f %f", &x, &y) == 2 ? kTrue : kFalse;
}

int IsVolume(const std::string& bytes) {
  const auto lines = FirstLines(bytes, 1);
  return (!lines.empty() && IStringsEqual(lines[0], "! HST_SLAVE VOLUME INFO FILE")) ? kTrue
                                                                                     : kFalse;
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

int FIsBSL(const std::string& fileName) { return IsBSL(FirstBytes(fileName)); }

int FIsCBF(const unsigned char* buffer, int length) {
  return (length > 9 && std::memcmp(buffer, "###CBF:", 7) == 0) ? kTrue : kFalse;
}

int FIsChiplot(const std::string& fileName) { return IsChiplot(FirstBytes(fileName)); }

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

int FIsVolume(const std::string& fileName) { return IsVolume(FirstBytes(fileName)); }

namespace {

struct FormatTest {
  bool fits;
  int code;
  const char* line;
};

// The detection tests on a file's first bytes, in their fixed order.
std::vector<FormatTest> FormatTests(const std::string& bytes) {
  const auto* buffer = reinterpret_cast<const unsigned char*>(bytes.data());
  const int length = std::min(static_cast<int>(bytes.size()), kBinaryTestBytes);
  const bool keyValueImage = LooksLikeKeyValueImage(buffer, length);
  return {
      {FIsADSC(buffer, length) && !keyValueImage, kFormatADSC,
       "The file contains an 'ADSC' format image"},
      {FIsBruker(buffer, length) != 0, kFormatBruker, "The file contains a Bruker format image"},
      {IsBSL(bytes) != 0, kFormatBSL, "The file contains a BSL format image"},
      {FIsCBF(buffer, length) != 0, kFormatCBF, "The file contains a CBF format image"},
      {IsChiplot(bytes) != 0, kFormatChiplot, "The file contains Chiplot format data"},
      {FIsKlora(buffer, length) || (FIsADSC(buffer, length) && keyValueImage), kFormatKlora,
       "The file contains a 'Klora' format image"},
      {FIsPrinceton(buffer, length) != 0, kFormatPrinceton,
       "The file contains a Princeton format image"},
      {FIsMar(buffer, length) != 0, kFormatMar, "The file contains a MarResearch format image"},
      {FIsTIFF(buffer, length) != 0, kFormatTIFF, "The file contains a TIFF image"},
      {IsVolume(bytes) != 0, kFormatVolume, "The file contains a Volume image"},
      // Not one of the classic ten: a file any of them takes keeps its format.
      {FIsHDF5(buffer, static_cast<int>(bytes.size())) != 0, kFormatHDF5,
       "The file contains an HDF5 image data-set"},
  };
}

}  // namespace

int FDeduceFileFormat(const std::string& fileName, int& format, int& status) {
  static constexpr IRoutine kR{"FDeduceFileFormat", "V0.9"};
  if (IBad(kR, status)) return kFalse;
  // One bounded read serves every test; a device or a pipe is refused before it is read.
  std::string bytes(kDetectionBytes, '\0');
  {
    bool notRegular = false;
    FilePtr file(FOpenRegularFile(fileName, "rb", notRegular));
    if (notRegular) {
      IWarning("FDeduceFileFormat: Not a regular file (a device, pipe or folder): " + fileName,
               status);
      return kFalse;
    }
    if (!file) return IFail(kR, kStatusFileOpen, status);
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), file.get()));
  }
  if (bytes.empty()) return kFalse;
  int fits = 0;
  for (const FormatTest& test : FormatTests(bytes)) {
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

int FCountFittingFormats(const std::string& fileName) {
  bool notRegular = false;
  FilePtr file(FOpenRegularFile(fileName, "rb", notRegular));
  if (!file) return -1;
  std::string bytes(kDetectionBytes, '\0');
  bytes.resize(std::fread(bytes.data(), 1, bytes.size(), file.get()));
  if (bytes.empty()) return 0;
  int fits = 0;
  for (const FormatTest& test : FormatTests(bytes)) fits += test.fits ? 1 : 0;
  return fits;
}

int FRefuseUnknownFormat(const std::string& fileName, int& status) {
  static constexpr IRoutine kR{"FRefuseUnknownFormat", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  if (FCountFittingFormats(fileName) != 0) return kFalse;
  {
    // What the detection found, and the input's own line, for whoever reads the log.
    ILogOnlyScope details;
    int format = kFormatNone;
    FDeduceFileFormat(fileName, format, status);
    IWarning("FInputData: Problem recognising file format for file: " + fileName, status);
  }
  std::string name = fileName;
  IGetFileName(fileName, name, status);
  IWarning(IFormat("%s is not an image format Lumivane reads (ADSC, Bruker, BSL, CBF, Chiplot, "
                   "Klora, MarResearch, Princeton, TIFF, volume slices, HDF5/NeXus)",
                   name.c_str()),
           status);
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
  if (format == kFormatHDF5) {
    info.images = 1;
    return FHDF5DatasetInfo(fileName, dataset, info, status);
  }
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
  bool refused = false;
  FilePtr file(FOpenInputFile(kR.name, fileName, text ? "r" : "rb", refused, status));
  if (refused) return kFalse;
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

namespace {

// A successful read replaces the store's data as reading into the store itself would have:
// variances of another size go, those of the same size stay (no longer defined); the mask
// goes; the description the reader gave (title, labels, axis) replaces the old one.
void AdoptImage(DataSet& read, DataSet& d) {
  if (read.dimX != d.dimX || read.dimY != d.dimY) {
    d.variances.reset();
    d.variancesAllocated = kFalse;
  }
  d.data = std::move(read.data);
  d.dataAllocated = read.dataAllocated;
  d.dimX = read.dimX;
  d.dimY = read.dimY;
  d.mask.reset();
  d.maskAllocated = kFalse;
  const bool readMask = read.maskAllocated && read.mask;
  const int maskDefined = read.maskDefined, maskInUse = read.maskInUse;
  IDefineWholeImage(d, read.numX, read.numY);
  if (readMask) {
    d.mask = std::move(read.mask);
    d.maskAllocated = kTrue;
    d.maskDefined = maskDefined;
    d.maskInUse = maskInUse;
  }
  IDescriptionCopy(read, d);
  d.headerGeometry = read.headerGeometry;
}

}  // namespace

int FInputImage(const std::string& fileName, int format, int dataset, int image, int /*prompt*/,
                DataSet& d, int& status) {
  static constexpr IRoutine kR{"FInputImage", "V0.7"};
  if (IBad(kR, status)) return kFalse;
  // The reader fills a scratch data-set, so that a refused or broken file leaves the image,
  // mask and geometry already loaded as they were. It starts with the store's display
  // placement and geometry (the command that read it then puts the experiment's geometry in,
  // data/Experiment.h), but with an image's labels and axis: a store that held a scan must not
  // lend its axis labels, start and step to the next image. Readers give a title only to a
  // data-set that has none, so the title of the data held before must not stick either.
  DataSet read;
  IDescriptionCopy(d, read);
  const DataSet fresh;
  read.title.clear();
  read.xLabel = fresh.xLabel;
  read.yLabel = fresh.yLabel;
  read.zLabel = fresh.zLabel;
  read.xAxisInPixels = kTrue;
  read.xAxisStart = fresh.xAxisStart;
  read.yAxisStart = fresh.yAxisStart;
  read.headerGeometry = format == kFormatChiplot ? kGeometryOwnAxes : 0u;
  int result = kFalse;
  switch (format) {
    case kFormatBruker: result = FInputBruker(fileName, read, status); break;
    case kFormatBSL: result = FInputBSL(fileName, dataset, image, read, status); break;
    case kFormatCBF: result = FInputCBF(fileName, read, status); break;
    case kFormatKlora: result = FInputKlora(fileName, read, status); break;
    case kFormatTIFF: result = FInputTIFFImage(fileName, image, read, status); break;
    case kFormatPrinceton: result = FInputPrinceton(fileName, image, read, status); break;
    case kFormatMar: result = FInputMar(fileName, read, status); break;
    case kFormatADSC: result = FInputADSC(fileName, read, status); break;
    case kFormatChiplot: result = FInputChiplot(fileName, read, status); break;
    case kFormatVolume: result = FInputVolume(fileName, image, read, status); break;
    case kFormatHDF5: result = FInputHDF5(fileName, dataset, image, read, status); break;
    default:
      IWarning("FInputImage: The format is unsupported for file: " + fileName, status);
      break;
  }
  if (!result || !read.dataAllocated || !read.data) return kFalse;
  if (read.title.empty()) FSetTitleFromFile(fileName, read, true);
  // A mask the reader gave (the HDF5 detector and overflow mask) survives the whole-image
  // definition, which otherwise clears it.
  IArray<unsigned char> readerMask;
  const int maskDefined = read.maskDefined, maskInUse = read.maskInUse;
  if (read.maskAllocated && read.mask) readerMask = std::move(read.mask);
  IDefineWholeImage(read, read.dimX, read.dimY);
  if (readerMask) {
    read.mask = std::move(readerMask);
    read.maskAllocated = kTrue;
    read.maskDefined = maskDefined;
    read.maskInUse = maskInUse;
  }
  ISetText(read.fileName, fileName);
  AdoptImage(read, d);
  return kTrue;
}

void FAdoptImage(DataSet& read, DataSet& d) { AdoptImage(read, d); }

FStackName FSplitStackName(const std::string& name) {
  FStackName named{name, {}};
  const std::size_t at = name.find("::/");
  if (at == std::string::npos || at == 0) return named;
  struct stat info {};
  if (stat(name.c_str(), &info) == 0) return named;  // a file of that very name
  named.file = name.substr(0, at);
  named.stack = name.substr(at + 2);
  while (named.stack.size() > 1 && named.stack.back() == '/') named.stack.pop_back();
  return named;
}

std::string FStackLabel(const FImageStack& s) {
  return IFormat("%s (%lld frame%s of %lld * %lld%s)", s.path.c_str(),
                 static_cast<long long>(s.frames), s.frames == 1 ? "" : "s",
                 static_cast<long long>(s.columns), static_cast<long long>(s.rows),
                 s.missing.empty() ? "" : ("; in " + s.missing + ", which is not there").c_str());
}

int FFindNamedStack(const std::string& file, int format, const std::string& stack, int& dataset,
                    std::vector<FImageStack>& stacks, int& status) {
  dataset = 1;
  stacks.clear();
  if (format == kFormatHDF5) {
    // A failure here is said by the information routine that follows.
    int listed = kStatusGood;
    FHDF5ImageStacks(file, stacks, listed);
  }
  if (stack.empty()) return kTrue;
  if (format != kFormatHDF5) {
    IWarning(IFormat("FInputData: %s names the data-set %s, but it is no HDF5 file",
                     file.c_str(), stack.c_str()),
             status);
    return kFalse;
  }
  std::string held;
  for (std::size_t k = 0; k < stacks.size(); ++k) {
    if (stacks[k].path == stack) {
      dataset = static_cast<int>(k) + 1;
      return kTrue;
    }
    held += (k ? ", " : "") + stacks[k].path;
  }
  IWarning(IFormat("FInputData: The file %s holds no image data-set %s; its image data-sets: %s",
                   file.c_str(), stack.c_str(), held.empty() ? "none" : held.c_str()),
           status);
  return kFalse;
}

int FInputDataWith(const std::string& name, const FInputHooks& hooks, DataSet& d,
                   int& status) {
  static constexpr IRoutine kR{"FInputData", "V0.8"};
  if (IBad(kR, status)) return kFalse;
  const FStackName named = FSplitStackName(name);
  const std::string& fileName = named.file;
  if (FRefuseUnknownFormat(fileName, status)) return kFalse;
  FileInfo fileInfo;
  if (!FGetFileInfo(fileName, fileInfo, status)) {
    IWarning("FInputData: Problem recognising file format for file: " + fileName, status);
    return kFalse;
  }
  if (fileInfo.format == kFormatNone) {
    IWarning("FInputData: The format is unknown or unrecognised for file: " + fileName, status);
    return kFalse;
  }

  int dataset = 1;
  std::vector<FImageStack> stacks;
  if (!FFindNamedStack(fileName, fileInfo.format, named.stack, dataset, stacks, status)) {
    return kFalse;
  }
  if (!named.stack.empty()) {
    // Named: nothing to choose.
  } else if (stacks.size() >= 2) {
    std::vector<std::string> choices;
    for (const FImageStack& s : stacks) {
      choices.push_back(FStackLabel(s));
      IInfo(IFormat("Data-set %zu: %s", choices.size(), choices.back().c_str()), status);
    }
    const int count = static_cast<int>(stacks.size());
    int choice = 0;
    if (hooks.choose) {
      if (!hooks.choose("Choose the image data-set to open", choices, choice, status)) {
        return kFalse;
      }
      if (choice < 0 || choice >= count) return kFalse;
      dataset = choice + 1;
    } else if (hooks.ask) {
      if (!hooks.ask("ENTER DATA-SET ('MEMORY') NUMBER TO INPUT", count, dataset, status)) {
        return kFalse;
      }
    } else {
      IInfo(IFormat("Data-set 1 is opened; another is opened by its path: %s::%s",
                    fileName.c_str(), stacks[1].path.c_str()),
            status);
    }
  } else if (fileInfo.numDatasets >= 2) {
    for (int k = 1; k <= fileInfo.numDatasets; ++k) {
      DatasetInfo info;
      if (FGetDatasetInfo(fileName, fileInfo.format, k, info, status)) {
        IInfo(IFormat("Data-set %i contains %i * %i image", k, info.columns, info.rows), status);
      }
    }
    if (hooks.ask && !hooks.ask("ENTER DATA-SET ('MEMORY') NUMBER TO INPUT",
                                fileInfo.numDatasets, dataset, status)) {
      return kFalse;
    }
  }

  DatasetInfo info;
  if (!FGetDatasetInfo(fileName, fileInfo.format, dataset, info, status)) {
    IWarning("Problem inputting image data from file: " + fileName, status);
    return kFalse;
  }
  int image = 1;
  if (info.images > 1) {
    IInfo(IFormat("Data set contains %i images", info.images), status);
    if (hooks.ask &&
        !hooks.ask("ENTER NUMBER OF IMAGE WITHIN DATA-SET TO INPUT", info.images, image, status)) {
      return kFalse;
    }
  }

  if (hooks.busy) hooks.busy(true);
  const int result =
      FInputImage(fileName, fileInfo.format, dataset, image, hooks.ask ? kTrue : kFalse, d, status);
  if (hooks.busy) hooks.busy(false);
  if (result) {
    if (dataset >= 1 && static_cast<std::size_t>(dataset) <= stacks.size()) {
      IInfo("HDF5 data-set opened: " + stacks[static_cast<std::size_t>(dataset - 1)].path, status);
    }
    IInfo(IFormat("Input image size = %i * %i pixels", d.dimX, d.dimY), status);
  } else {
    IWarning("Problem inputting image data from file: " + fileName, status);
  }
  return result;
}
