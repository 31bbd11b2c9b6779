// Lists of reals, BSL output, mask files and the output dispatcher.
#include "fileio/FScanFiles.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include "core/status.h"
#include "core/text.h"
#include "fileio/FCBF.h"
#include "fileio/FReaders.h"
#include "core/outputfile.h"

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const noexcept {
    if (file) std::fclose(file);
  }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

constexpr int kMaskHeaderWords = 256;
constexpr std::uint32_t kMaskMagic[4] = {77, 65, 83, 75};  // M, A, S, K

// Mask files are little-endian whatever the machine.
std::uint32_t ReadWord(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
         (static_cast<std::uint32_t>(bytes[2]) << 16) |
         (static_cast<std::uint32_t>(bytes[3]) << 24);
}

void WriteWord(std::uint32_t word, unsigned char* bytes) {
  for (int k = 0; k < 4; ++k) bytes[k] = static_cast<unsigned char>(word >> (8 * k));
}

int DataDefined(const char* routine, const DataSet& d, int& status) {
  if (!ICheckDataLayout(std::string(routine) + ":", d, status)) return kFalse;
  if (d.dataDefined && d.data) return kTrue;
  IWarning(std::string(routine) + ": Data is not defined", status);
  return kFalse;
}

// The message of a failed BSL write: the text, then the file on its own line.
int BSLWriteFailed(const std::string& fileName, int& status) {
  IError("FOutputBSL: Problem writing data to output file:", status);
  IWrite(fileName, status);
  return kFalse;
}

}  // namespace

int FInput1DASCII(const std::string& fileName, int capacity, int& count, float* values,
                  int& status) {
  static constexpr IRoutine kR{"FInput1DASCII", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  count = 0;
  bool refused = false;
  FilePtr file(FOpenInputFile(kR.name, fileName, "r", refused, status));
  if (refused) return kFalse;
  if (!file) return IFail(kR, kStatusFileOpen, status);
  std::string line;
  while (count < capacity && values && IReadLine(file.get(), 256, line)) {
    const int first = IFirstNonBlank(line, 0);
    // '!' is our comment mark; '#' is the one of the d-spacing lists that calibrant
    // collections publish (a "#" header, then "3.1241 # (1, 1, 1) 8" lines), read as they are.
    if (first >= 0 && (line[static_cast<std::size_t>(first)] == '!' ||
                       line[static_cast<std::size_t>(first)] == '#')) {
      continue;
    }
    float value = 0.0f;
    if (IToken2Real(line, value, status)) {
      values[count++] = value;
    } else {
      IWarning(IFormat("Problem converting to a real value: %s", line.c_str()), status);
    }
  }
  return kTrue;
}

int FBSLMemoryFileName(const std::string& headerName, std::string& binaryName, int& status) {
  static constexpr IRoutine kR{"FBSLMemoryFileName", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  const std::string name =
      headerName.substr(0, static_cast<std::size_t>(ITrimmedLength(headerName)));
  // Only the file's own name is changed: a '.' in a directory name is no extension.
  const int nameStart = IFindLastCharacter(name, '/') + 1;
  const int dot = IFindLastCharacter(name, '.');
  if (dot < nameStart) {
    binaryName = name + "1";
    return kTrue;
  }
  if (dot == nameStart) return kFalse;
  binaryName = name;
  binaryName[static_cast<std::size_t>(dot) - 1] = '1';
  return kTrue;
}

int FOutputBSL(const std::string& headerName, const DataSet& d, int& status) {
  static constexpr IRoutine kR{"FOutputBSL", "V0.5"};
  static constexpr IRoutine kBinary{"FOutputBSL: Binary File:", ""};
  if (IBad(kR, status)) return kFalse;
  if (!DataDefined("FOutputBSL", d, status)) return kFalse;
  // The binary file must never take the header's own name.
  std::string binaryName;
  if (!FBSLMemoryFileName(headerName, binaryName, status) ||
      binaryName == headerName.substr(0, static_cast<std::size_t>(ITrimmedLength(headerName)))) {
    IWarning("FOutputBSL: The header file name is not acceptable", status);
    return kFalse;
  }

  IOutputFile header;
  if (!header.Open(headerName)) {
    IWarning(IFormat("File open failed: %s", headerName.c_str()), status);
    return kFalse;
  }
  std::string binaryOnly = binaryName;
  IGetFileName(binaryName, binaryOnly, status);
  // One frame, low byte first (1), 32-bit reals (0).
  std::fprintf(header.File(), "%s\n\n%i %i 1 1 0 0 0 0 0 0\n%s\n", d.title.c_str(),
               d.endX - d.startX + 1, d.endY - d.startY + 1, binaryOnly.c_str());

  IOutputFile binary;
  if (!binary.Open(binaryName)) return IFail(kBinary, kStatusFileOpen, status);
  if (!FOutput2DR4(binary.File(), d, status) || !binary.Finish()) {
    return BSLWriteFailed(binaryName, status);
  }
  if (!header.Finish()) return BSLWriteFailed(headerName, status);
  // Both files are complete; the header, which names the binary file, appears last.
  if (!binary.Publish()) return BSLWriteFailed(binaryName, status);
  if (!header.Publish()) return BSLWriteFailed(headerName, status);
  return kTrue;
}

int FInputMask(const std::string& fileName, DataSet& d, int& status) {
  static constexpr IRoutine kR{"FInputMask", "V0.5"};
  if (IBad(kR, status)) return kFalse;
  if (!ICheckDataLayout("FInputMask:", d, status)) return kFalse;
  if (!d.dataDefined || !d.data) return IFail(kR, kStatusNotAllocated, status);
  bool refused = false;
  FilePtr file(FOpenInputFile(kR.name, fileName, "rb", refused, status));
  if (refused) return kFalse;
  if (!file) return IFail(kR, kStatusFileOpen, status);

  unsigned char header[kMaskHeaderWords * 4];
  const std::size_t got = std::fread(header, 1, sizeof header, file.get());
  bool magic = got == sizeof header;
  for (int k = 0; magic && k < 4; ++k) magic = ReadWord(header + 4 * k) == kMaskMagic[k];
  if (!magic) {
    IError("This is not a correct mask file !", status);
    return kFalse;
  }
  const auto width = static_cast<std::int32_t>(ReadWord(header + 16));
  const auto height = static_cast<std::int32_t>(ReadWord(header + 20));
  if (width != d.numX || height != d.numY) {
    IError("The mask is a different size to the defined data", status);
    return kFalse;
  }

  // The sizes now equal the data's, so the rows' byte count is sane; a file too short for
  // them is refused before the mask is touched.
  const int wordsPerRow = (width + 31) / 32;
  const std::int64_t rowBytes = 4LL * wordsPerRow;
  const std::int64_t length = FFileLength(file.get());
  if (length >= 0 && length < static_cast<std::int64_t>(sizeof header) + rowBytes * height) {
    IError("Problem inputting mask elements from file", status);
    return kFalse;
  }
  IArray<unsigned char> row, staged;
  if (!IAllocateMemory("FInputMask: ROW", rowBytes, row, status) ||
      !IAllocateMemory("FInputMask: MASK", static_cast<std::int64_t>(width) * height, staged,
                       status)) {
    return kFalse;
  }
  for (int y = 0; y < height; ++y) {
    if (std::fread(row.get(), 1, static_cast<std::size_t>(rowBytes), file.get()) !=
        static_cast<std::size_t>(rowBytes)) {
      IError("Problem inputting mask elements from file", status);
      return kFalse;
    }
    unsigned char* target =
        staged.get() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
    for (int w = 0; w < wordsPerRow; ++w) {
      const std::uint32_t word = ReadWord(row.get() + 4 * w);
      const int bits = std::min(32, width - 32 * w);
      for (int b = 0; b < bits; ++b) target[32 * w + b] = (word >> b) & 1u;
    }
  }

  // Only a completely read file reaches the mask.
  if (!d.maskAllocated || !d.mask) {
    if (!IAllocateMask(d, status)) return kFalse;
  }
  for (int y = 0; y < height; ++y) {
    std::memcpy(&d.mask[IIndex(d, 0, y)],
                staged.get() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width),
                static_cast<std::size_t>(width));
  }
  d.maskDefined = kTrue;
  d.maskInUse = kTrue;
  return kTrue;
}

int FOutputMask(const std::string& fileName, const DataSet& d, int& status) {
  static constexpr IRoutine kR{"FOutputMask", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  if (!ICheckDataLayout("FOutputMask:", d, status)) return kFalse;
  if (!d.dataDefined || !d.data) return IFail(kR, kStatusNotAllocated, status);
  IOutputFile out;
  if (!out.Open(fileName)) return IFail(kR, kStatusFileOpen, status);

  unsigned char header[kMaskHeaderWords * 4] = {};
  for (int k = 0; k < 4; ++k) WriteWord(kMaskMagic[k], header + 4 * k);
  WriteWord(static_cast<std::uint32_t>(d.numX), header + 16);
  WriteWord(static_cast<std::uint32_t>(d.numY), header + 20);
  WriteWord(1, header + 24);
  if (std::fwrite(header, 1, sizeof header, out.File()) != sizeof header) {
    IError(IFormat("Problem writing header to mask output file: %s", fileName.c_str()), status);
    return kFalse;
  }

  const int wordsPerRow = (d.numX + 31) / 32;
  const auto rowBytes = static_cast<std::size_t>(wordsPerRow) * 4;
  IArray<unsigned char> row;
  if (!IAllocateMemory("FOutputMask: ROW", static_cast<std::int64_t>(rowBytes), row, status)) {
    return kFalse;
  }
  const auto failed = [&]() {
    IError(IFormat("Problem writing mask to mask output file: %s", fileName.c_str()), status);
    return kFalse;
  };
  // Without a mask array nothing is masked: the rows are clear.
  const unsigned char* mask = d.maskAllocated ? d.mask.get() : nullptr;
  for (int y = 0; y < d.numY; ++y) {
    std::memset(row.get(), 0, rowBytes);
    if (mask) {
      const unsigned char* source = mask + IIndex(d, 0, y);
      for (int w = 0; w < wordsPerRow; ++w) {
        std::uint32_t word = 0;
        const int bits = std::min(32, d.numX - 32 * w);
        for (int b = 0; b < bits; ++b) {
          if (source[32 * w + b]) word |= 1u << b;
        }
        WriteWord(word, row.get() + 4 * w);
      }
    }
    if (std::fwrite(row.get(), 1, rowBytes, out.File()) != rowBytes) return failed();
  }
  if (!out.Commit()) return failed();
  return kTrue;
}

int FOutputData(const std::string& fileName, int format, const DataSet& d, int& status) {
  static constexpr IRoutine kR{"FOutputData", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  switch (format) {
    case kFormatBSL: return FOutputBSL(fileName, d, status);
    case kFormatCBF: return FOutputCBF(fileName, d, status);
    case kFormatChiplot: return FOutputChiplot(fileName, d, status);
    default: IWarning("FOutputData: Unsupported file format for ouput", status); return kFalse;
  }
}
