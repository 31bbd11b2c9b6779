// The raw-array readers, the block read and the header checks shared by every reader.
#include "fileio/FRawData.h"

#include <atomic>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <limits>

#include "core/status.h"
#include "core/text.h"

namespace {

// Reads that found the file shorter than its header promised (any thread).
std::atomic<std::uint64_t> gShortReads{0};


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

// ---- Conversion of read elements to reals -----------------------------------------------
// Elements are converted in blocks of a fixed 64: loops of a constant count over local arrays
// are the ones the compiler turns into vector code at -O2, where a loop over a run-time count
// stays scalar. The byte swap, the reinterpretation and the conversion are separate loops.

constexpr std::size_t kBlock = 64;

template <std::size_t Bytes>
struct UnitOf;
template <>
struct UnitOf<1> {
  using type = std::uint8_t;
};
template <>
struct UnitOf<2> {
  using type = std::uint16_t;
};
template <>
struct UnitOf<4> {
  using type = std::uint32_t;
};

// Reverses the bytes of each unit. The four bytes of a word are reversed in two passes (the
// halves exchanged, then the bytes of each half): written as one expression the compiler
// recognises a byte-swap instruction, which it cannot vectorise without SSSE3.
inline void SwapUnits(std::uint8_t (&)[kBlock]) {}
inline void SwapUnits(std::uint16_t (&units)[kBlock]) {
  for (std::size_t i = 0; i < kBlock; ++i) {
    units[i] = static_cast<std::uint16_t>((units[i] >> 8) | (units[i] << 8));
  }
}
inline void SwapUnits(std::uint32_t (&units)[kBlock]) {
  for (std::size_t i = 0; i < kBlock; ++i) units[i] = (units[i] >> 16) | (units[i] << 16);
  for (std::size_t i = 0; i < kBlock; ++i) {
    units[i] = ((units[i] >> 8) & 0x00FF00FFu) | ((units[i] << 8) & 0xFF00FF00u);
  }
}

// Converts kBlock elements of file bytes (any alignment) into `out`.
template <class Element>
void ConvertBlock(const unsigned char* in, bool swap, float* out) {
  using Unit = typename UnitOf<sizeof(Element)>::type;
  Unit units[kBlock];
  std::memcpy(units, in, sizeof units);
  if (swap) SwapUnits(units);
  Element values[kBlock];
  std::memcpy(values, units, sizeof values);
  float reals[kBlock];
  for (std::size_t i = 0; i < kBlock; ++i) reals[i] = static_cast<float>(values[i]);
  std::memcpy(out, reals, sizeof reals);
}

// Converts `count` elements: whole blocks, then the remainder through a padded block.
template <class Element>
void Convert(const unsigned char* in, std::size_t count, bool swap, float* out) {
  std::size_t i = 0;
  for (; i + kBlock <= count; i += kBlock) {
    ConvertBlock<Element>(in + i * sizeof(Element), swap, out + i);
  }
  if (i < count) {
    unsigned char padded[kBlock * sizeof(Element)] = {};
    std::memcpy(padded, in + i * sizeof(Element), (count - i) * sizeof(Element));
    float reals[kBlock];
    ConvertBlock<Element>(padded, swap, reals);
    std::memcpy(out + i, reals, (count - i) * sizeof(float));
  }
}

// The shared body of the six raw readers: seek, read chunk by chunk with FRead, convert.
template <class Element>
int RawRead(const char* name, bool failAsError, std::FILE* file, bool swap, std::int64_t offset,
            int columns, int rows, float* destination, int& status) {
  const IRoutine routine{name, "V0.7"};
  if (IBad(routine, status)) return kFalse;
  if (columns <= 0 || rows <= 0) return kTrue;
  if (offset < 0 || fseeko(file, static_cast<off_t>(offset), SEEK_SET) != 0) {
    IWarning(std::string(name) + "; File positoning failed", status);
    return kFalse;
  }
  const std::size_t total = static_cast<std::size_t>(columns) * static_cast<std::size_t>(rows);
  // A chunk small enough to stay in the cache between the read and the conversion.
  constexpr std::size_t kChunkBytes = 65536;
  constexpr std::size_t kChunk = kChunkBytes / sizeof(Element);
  alignas(64) unsigned char buffer[kChunkBytes];
  std::size_t done = 0;
  while (done < total) {
    const std::size_t want = std::min(kChunk, total - done);
    std::size_t got = 0;
    // Bytes are swapped during the conversion, not by the block read.
    FRead(file, sizeof buffer, want * sizeof(Element), kSwapNone, got, buffer, status);
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
    Convert<Element>(buffer, elements, swap, destination + done);
    if (elements < want) {
      IWarning(std::string(name) + ": Less bytes were input than were requested", status);
      gShortReads.fetch_add(1, std::memory_order_relaxed);
      // The rest of the image is not in the file: zeros, and no further warnings.
      std::fill(destination + done + elements, destination + total, 0.0f);
      return kTrue;
    }
    done += want;
  }
  return kTrue;
}

}  // namespace

std::uint64_t FShortReads() { return gShortReads.load(std::memory_order_relaxed); }

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

// ---- Block read and raw readers -----------------------------------------------------------

int FRead(std::FILE* file, std::size_t bufferSize, std::size_t count, int swapMode,
          std::size_t& bytesRead, unsigned char* buffer, int& status) {
  static constexpr IRoutine kR{"FRead", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  if (count > bufferSize) return IFail(kR, kStatusNumDefined1, status);
  bytesRead = std::fread(buffer, 1, count, file);
  if (bytesRead != count) {
    gShortReads.fetch_add(1, std::memory_order_relaxed);
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
  return RawRead<float>("FInput2DR4", true, file, swap != 0, offset, columns,
                        rows, destination, status);
}

int FInput2DUI4(std::FILE* file, int swap, std::int64_t offset, int columns, int rows,
                float* destination, int& status) {
  return RawRead<std::uint32_t>("FInput2DUI4", true, file, swap != 0, offset,
                                columns, rows, destination, status);
}

int FInput2DI4(std::FILE* file, int swap, std::int64_t offset, int columns, int rows,
               float* destination, int& status) {
  return RawRead<std::int32_t>("FInput2DI4", true, file, swap != 0, offset,
                               columns, rows, destination, status);
}

int FInput2DUI2(std::FILE* file, int swap, std::int64_t offset, int columns, int rows,
                float* destination, int& status) {
  return RawRead<std::uint16_t>("FInput2DUI2", true, file, swap != 0, offset,
                                columns, rows, destination, status);
}

int FInput2DI2(std::FILE* file, int swap, std::int64_t offset, int columns, int rows,
               float* destination, int& status) {
  return RawRead<std::int16_t>("FInput2DI2", true, file, swap != 0, offset,
                               columns, rows, destination, status);
}

int FInput2DUI1(std::FILE* file, int /*swap: bytes have no order*/, std::int64_t offset,
                int columns, int rows, float* destination, int& status) {
  return RawRead<std::uint8_t>("FInput2DUI1", false, file, false, offset, columns, rows,
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

// ---- Opening the files a reader reads -----------------------------------------------------

std::FILE* FOpenRegularFile(const std::string& fileName, const char* mode, bool& notRegular) {
  notRegular = false;
  // Opened without blocking, so that a pipe with no writer cannot hold the program, and
  // looked at through the descriptor, so that what is checked is what is read.
  const int descriptor = open(fileName.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (descriptor < 0) return nullptr;
  struct stat info {};
  if (fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode)) {
    notRegular = true;
    close(descriptor);
    return nullptr;
  }
  const int flags = fcntl(descriptor, F_GETFL);
  if (flags >= 0) fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK);
  std::FILE* file = fdopen(descriptor, mode);
  if (!file) close(descriptor);
  return file;
}

std::FILE* FOpenInputFile(const char* routine, const std::string& fileName, const char* mode,
                          bool& refused, int& status) {
  std::FILE* file = FOpenRegularFile(fileName, mode, refused);
  if (refused) {
    IWarning(std::string(routine) + ": Not a regular file (a device, pipe or folder): " +
                 fileName,
             status);
  }
  return file;
}

// ---- Header checks ------------------------------------------------------------------------

bool FSameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

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
  // At most 2^32 pixels (16 GiB as reals): any more is a header's claim, not a detector.
  const std::int64_t pixels = static_cast<std::int64_t>(columns) * rows;
  constexpr std::int64_t kMostPixels = std::int64_t{1} << 32;
  if (pixels > kMostPixels || elementSize > 64) {
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
