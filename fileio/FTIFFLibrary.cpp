// The TIFFs the uncompressed reader (fileio/FTIFF) leaves alone, read through libtiff:
// compressed strips (LZW, Deflate, PackBits, LZMA, Zstandard, with predictors), tiles and the
// pages after the first. One sample per pixel, 8, 16, 32 or 64 bits, unsigned, signed or IEEE
// real; file row 0 is data row 0, as in the uncompressed reader.
#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/status.h"
#include "fileio/FBinaryHeaders.h"
#include "fileio/FReaders.h"

namespace {

// The most pages counted: libtiff's own bound on a directory chain.
constexpr int kMostPages = 65535;

// libtiff's complaints, kept to be reported in our words (only the first error is kept: the
// later ones follow from it).
struct Complaints {
  std::string error;
};

int OnError(TIFF*, void* data, const char* module, const char* format, va_list args) {
  auto* complaints = static_cast<Complaints*>(data);
  if (complaints && complaints->error.empty()) {
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    complaints->error = std::string(module ? module : "libtiff") + ": " + text;
  }
  return 1;  // handled: nothing reaches the standard error stream
}

int OnWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

// An open libtiff handle, closed on every path out.
class Tiff {
 public:
  Tiff(const std::string& fileName, Complaints& complaints) {
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetErrorHandlerExtR(options, OnError, &complaints);
    TIFFOpenOptionsSetWarningHandlerExtR(options, OnWarning, nullptr);
    // No single allocation of libtiff's beyond 1 GiB (a directory that claims more is refused).
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, tmsize_t{1} << 30);
    tiff_ = TIFFOpenExt(fileName.c_str(), "r", options);
    TIFFOpenOptionsFree(options);
  }
  ~Tiff() {
    if (tiff_) TIFFClose(tiff_);
  }
  Tiff(const Tiff&) = delete;
  Tiff& operator=(const Tiff&) = delete;
  TIFF* get() const { return tiff_; }

 private:
  TIFF* tiff_ = nullptr;
};

// Opens a regular file through libtiff (a device or pipe is refused as the readers refuse it)
// and tells its length.
bool Open(const char* routine, const std::string& fileName, std::int64_t& length, int& status) {
  bool refused = false;
  std::FILE* probe = FOpenInputFile(routine, fileName, "rb", refused, status);
  if (refused) return false;
  if (!probe) {
    IWarning(IFormat("%s: The file cannot be opened: %s", routine, fileName.c_str()), status);
    return false;
  }
  length = FFileLength(probe);
  std::fclose(probe);
  return true;
}

void Complain(const char* routine, const Complaints& complaints, const std::string& what,
              int& status) {
  IWarning(IFormat("%s: %s%s%s", routine, what.c_str(), complaints.error.empty() ? "" : ": ",
                   complaints.error.c_str()),
           status);
}

enum class Sample { kNone, kU8, kI8, kU16, kI16, kU32, kI32, kU64, kI64, kF32, kF64 };

Sample SampleOf(int bits, int format) {
  if (format == SAMPLEFORMAT_UINT) {
    if (bits == 8) return Sample::kU8;
    if (bits == 16) return Sample::kU16;
    if (bits == 32) return Sample::kU32;
    if (bits == 64) return Sample::kU64;
  } else if (format == SAMPLEFORMAT_INT) {
    if (bits == 8) return Sample::kI8;
    if (bits == 16) return Sample::kI16;
    if (bits == 32) return Sample::kI32;
    if (bits == 64) return Sample::kI64;
  } else if (format == SAMPLEFORMAT_IEEEFP) {
    if (bits == 32) return Sample::kF32;
    if (bits == 64) return Sample::kF64;
  }
  return Sample::kNone;
}

template <class T>
void ConvertRow(const unsigned char* source, float* target, int n) {
  for (int i = 0; i < n; ++i) {
    T v;
    std::memcpy(&v, source + static_cast<std::size_t>(i) * sizeof(T), sizeof v);
    target[i] = static_cast<float>(v);
  }
}

// libtiff hands decoded samples over in this machine's byte order.
void Convert(Sample sample, const unsigned char* source, float* target, int n) {
  switch (sample) {
    case Sample::kU8: ConvertRow<std::uint8_t>(source, target, n); break;
    case Sample::kI8: ConvertRow<std::int8_t>(source, target, n); break;
    case Sample::kU16: ConvertRow<std::uint16_t>(source, target, n); break;
    case Sample::kI16: ConvertRow<std::int16_t>(source, target, n); break;
    case Sample::kU32: ConvertRow<std::uint32_t>(source, target, n); break;
    case Sample::kI32: ConvertRow<std::int32_t>(source, target, n); break;
    case Sample::kU64: ConvertRow<std::uint64_t>(source, target, n); break;
    case Sample::kI64: ConvertRow<std::int64_t>(source, target, n); break;
    case Sample::kF32: ConvertRow<float>(source, target, n); break;
    case Sample::kF64: ConvertRow<double>(source, target, n); break;
    case Sample::kNone: break;
  }
}

// Widens n samples of up to four bytes, stored at the start of `data`, to reals in place. From
// the last one down: real i covers the bytes of samples i and above only, which are read first.
template <class T>
void WidenRow(float* data, std::int64_t n) {
  static_assert(sizeof(T) <= sizeof(float));
  auto* bytes = reinterpret_cast<unsigned char*>(data);
  for (std::int64_t i = n - 1; i >= 0; --i) {
    T v;
    std::memcpy(&v, bytes + i * static_cast<std::int64_t>(sizeof(T)), sizeof v);
    const auto real = static_cast<float>(v);
    std::memcpy(bytes + i * static_cast<std::int64_t>(sizeof(float)), &real, sizeof real);
  }
}

void WidenInPlace(Sample sample, float* data, std::int64_t n) {
  switch (sample) {
    case Sample::kU8: WidenRow<std::uint8_t>(data, n); break;
    case Sample::kI8: WidenRow<std::int8_t>(data, n); break;
    case Sample::kU16: WidenRow<std::uint16_t>(data, n); break;
    case Sample::kI16: WidenRow<std::int16_t>(data, n); break;
    case Sample::kU32: WidenRow<std::uint32_t>(data, n); break;
    case Sample::kI32: WidenRow<std::int32_t>(data, n); break;
    case Sample::kF32: break;  // already reals
    default: break;
  }
}

}  // namespace

int FTIFFLibraryPages(const std::string& fileName, int& pages, int& columns, int& rows,
                      int& status) {
  static constexpr IRoutine kR{"FTIFFLibraryPages", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  std::int64_t length = -1;
  if (!Open(kR.name, fileName, length, status)) return kFalse;
  Complaints complaints;
  Tiff tiff(fileName, complaints);
  if (!tiff.get()) {
    Complain(kR.name, complaints, "libtiff cannot open the file " + fileName, status);
    return kFalse;
  }
  std::uint32_t width = 0, height = 0;
  TIFFGetField(tiff.get(), TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tiff.get(), TIFFTAG_IMAGELENGTH, &height);
  // Counted by walking the chain, which libtiff guards against loops; bounded here as well.
  const tdir_t count = TIFFNumberOfDirectories(tiff.get());
  pages = static_cast<int>(std::clamp<tdir_t>(count, 1, kMostPages));
  columns = static_cast<int>(std::min<std::uint32_t>(width, INT32_MAX));
  rows = static_cast<int>(std::min<std::uint32_t>(height, INT32_MAX));
  return kTrue;
}

int FTIFFLibraryInput(const std::string& fileName, int image, DataSet& d, int& status) {
  static constexpr IRoutine kR{"FTIFFLibraryInput", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  std::int64_t length = -1;
  if (!Open(kR.name, fileName, length, status)) return kFalse;
  Complaints complaints;
  Tiff tiff(fileName, complaints);
  if (!tiff.get()) {
    Complain(kR.name, complaints, "libtiff cannot open the file " + fileName, status);
    return kFalse;
  }
  TIFF* t = tiff.get();
  if (image < 1 || image > kMostPages ||
      !TIFFSetDirectory(t, static_cast<tdir_t>(image - 1))) {
    Complain(kR.name, complaints, IFormat("The file has no page %i", image), status);
    return kFalse;
  }
  std::uint32_t width = 0, height = 0;
  std::uint16_t bits = 1, samples = 1, format = SAMPLEFORMAT_UINT, planar = PLANARCONFIG_CONTIG;
  if (!TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &width) ||
      !TIFFGetField(t, TIFFTAG_IMAGELENGTH, &height)) {
    Complain(kR.name, complaints, "The page gives no image size", status);
    return kFalse;
  }
  TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLEFORMAT, &format);
  TIFFGetFieldDefaulted(t, TIFFTAG_PLANARCONFIG, &planar);
  if (samples != 1) {
    INote(IFormat("FTIFFInputImage: Unsupported samples per pixel: %i", samples), status);
    return kFalse;
  }
  const Sample sample = SampleOf(bits, format);
  if (sample == Sample::kNone) {
    INote(IFormat("FTIFFInputImage: Unsupported sample format: %i with %i bits per sample",
                  format, bits),
          status);
    return kFalse;
  }
  if (width > INT32_MAX || height > INT32_MAX) {
    IWarning(IFormat("%s: Impossible image size: %u * %u pixels", kR.name, width, height), status);
    return kFalse;
  }
  const int columns = static_cast<int>(width), rows = static_cast<int>(height);
  const int bytes = bits / 8;
  if (!FCheckImageSize(kR.name, columns, rows, bytes, 0, -1, status)) return kFalse;
  // Compressed pixels can be far fewer bytes than the image, but not without bound: a header
  // claiming gigapixels in a small file is not believed.
  const std::int64_t imageBytes = static_cast<std::int64_t>(columns) * rows * bytes;
  constexpr std::int64_t kMostRatio = 4096;
  constexpr std::int64_t kSmallImage = std::int64_t{64} << 20;
  if (length >= 0 && imageBytes > kSmallImage && imageBytes / kMostRatio > length) {
    IWarning(IFormat("%s: The page claims %d * %d pixels, far more than a file of %lld bytes "
                     "holds",
                     kR.name, columns, rows, static_cast<long long>(length)),
             status);
    return kFalse;
  }

  DataSet& read = d;
  if (TIFFIsTiled(t)) {
    std::uint32_t tileWidth = 0, tileHeight = 0;
    TIFFGetField(t, TIFFTAG_TILEWIDTH, &tileWidth);
    TIFFGetField(t, TIFFTAG_TILELENGTH, &tileHeight);
    const tmsize_t tileSize = TIFFTileSize(t);
    // A tile is decoded whole: one far larger than the image (a 16 x 16 image in a tile of
    // 8192 x 8192) would cost the tile's memory, not the image's.
    constexpr std::int64_t kTileAllowance = std::int64_t{1} << 20;
    if (tileWidth == 0 || tileHeight == 0 || tileWidth > INT32_MAX || tileHeight > INT32_MAX ||
        tileSize != static_cast<tmsize_t>(tileWidth) * tileHeight * bytes ||
        tileSize > 2 * imageBytes + kTileAllowance) {
      Complain(kR.name, complaints,
               IFormat("Unusable tiles of %u * %u pixels", tileWidth, tileHeight), status);
      return kFalse;
    }
    IArray<unsigned char> buffer;
    if (!IAllocateMemory("FTIFFLibraryInput: TILE", tileSize, buffer, status)) return kFalse;
    if (!IAllocateData(columns, rows, read, status)) return kFalse;
    for (std::uint32_t y = 0; y < height; y += tileHeight) {
      for (std::uint32_t x = 0; x < width; x += tileWidth) {
        if (TIFFReadTile(t, buffer.get(), x, y, 0, 0) < 0) {
          Complain(kR.name, complaints,
                   IFormat("The tile at (%u, %u) cannot be decoded", x, y), status);
          return kFalse;
        }
        const int n = static_cast<int>(std::min(tileWidth, width - x));
        const std::uint32_t last = std::min(tileHeight, height - y);
        for (std::uint32_t r = 0; r < last; ++r) {
          Convert(sample,
                  buffer.get() + static_cast<std::size_t>(r) * tileWidth * bytes,
                  read.data.get() + IIndex(read, static_cast<int>(x), static_cast<int>(y + r)),
                  n);
        }
      }
    }
  } else {
    std::uint32_t rowsPerStrip = height;
    TIFFGetFieldDefaulted(t, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
    rowsPerStrip = std::clamp<std::uint32_t>(rowsPerStrip, 1, height);
    const tmsize_t stripSize = TIFFStripSize(t);
    const std::int64_t rowBytes = static_cast<std::int64_t>(columns) * bytes;
    if (stripSize <= 0 || stripSize < rowBytes * static_cast<std::int64_t>(rowsPerStrip)) {
      Complain(kR.name, complaints, "Unusable strips", status);
      return kFalse;
    }
    // Samples of up to four bytes are decoded straight into the strip's own rows of the image
    // and widened to reals in place, from the end; eight-byte ones through a strip buffer.
    const bool inPlace = bytes <= 4;
    IArray<unsigned char> buffer;
    if (!inPlace &&
        !IAllocateMemory("FTIFFLibraryInput: STRIP", stripSize, buffer, status)) {
      return kFalse;
    }
    if (!IAllocateData(columns, rows, read, status)) return kFalse;
    for (std::uint32_t row = 0; row < height; row += rowsPerStrip) {
      const std::uint32_t count = std::min(rowsPerStrip, height - row);
      const tstrip_t strip = TIFFComputeStrip(t, row, 0);
      float* target = read.data.get() + IIndex(read, 0, static_cast<int>(row));
      const std::int64_t want = rowBytes * static_cast<std::int64_t>(count);
      unsigned char* into = inPlace ? reinterpret_cast<unsigned char*>(target) : buffer.get();
      const tmsize_t got =
          TIFFReadEncodedStrip(t, strip, into, inPlace ? static_cast<tmsize_t>(want) : stripSize);
      if (got < want) {
        Complain(kR.name, complaints,
                 IFormat("Strip %u cannot be decoded", static_cast<unsigned>(strip)), status);
        return kFalse;
      }
      if (inPlace) {
        WidenInPlace(sample, target, static_cast<std::int64_t>(columns) * count);
      } else {
        for (std::uint32_t r = 0; r < count; ++r) {
          Convert(sample, buffer.get() + static_cast<std::size_t>(r) * rowBytes,
                  read.data.get() + IIndex(read, 0, static_cast<int>(row + r)), columns);
        }
      }
    }
  }
  FSetTitleFromFile(fileName, read, true);
  return kTrue;
}
