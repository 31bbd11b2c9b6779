// Uncompressed TIFF images: the first image file directory only, one sample per pixel, 8, 16
// or 32 bits, unsigned, signed (detector images mark gaps with negative values) or 32-bit
// IEEE reals, in strips, either byte order. Compressed strips with byte counts, tiles and
// later pages go to libtiff (fileio/FTIFFLibrary); everything else is read here as before.
#include <sys/types.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

#include "core/status.h"
#include "fileio/FBinaryHeaders.h"
#include "fileio/FCBF.h"
#include "fileio/FDetectorMarks.h"
#include "fileio/FReaders.h"

namespace {

constexpr int kTypeShort = 3;
constexpr int kTypeLong = 4;

constexpr int kTagWidth = 256;
constexpr int kTagHeight = 257;
constexpr int kTagBits = 258;
constexpr int kTagCompression = 259;
constexpr int kTagImageDescription = 270;
constexpr int kTagStripOffsets = 273;
constexpr int kTagSamplesPerPixel = 277;
constexpr int kTagRowsPerStrip = 278;
constexpr int kTagStripByteCounts = 279;
constexpr int kTagSampleFormat = 339;
constexpr int kTagTileWidth = 322;
constexpr int kTagTileOffsets = 324;

constexpr int kFormatUnsigned = 1;
constexpr int kFormatSigned = 2;
constexpr int kFormatReal = 3;

std::uint32_t Get16(const unsigned char* p, bool bigEndian) {
  return bigEndian ? (static_cast<std::uint32_t>(p[0]) << 8) | p[1]
                   : (static_cast<std::uint32_t>(p[1]) << 8) | p[0];
}

std::uint32_t Get32(const unsigned char* p, bool bigEndian) {
  return bigEndian ? (static_cast<std::uint32_t>(p[0]) << 24) |
                         (static_cast<std::uint32_t>(p[1]) << 16) |
                         (static_cast<std::uint32_t>(p[2]) << 8) | p[3]
                   : (static_cast<std::uint32_t>(p[3]) << 24) |
                         (static_cast<std::uint32_t>(p[2]) << 16) |
                         (static_cast<std::uint32_t>(p[1]) << 8) | p[0];
}

int TypeSize(int type) {
  if (type == kTypeShort) return 2;
  if (type == kTypeLong) return 4;
  return 0;
}

int ClampToInt(std::uint32_t value) {
  return value > static_cast<std::uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(value);
}

// Reads the first `n` values of a SHORT or LONG entry: from the value field itself when they
// fit in its four bytes, otherwise from the array the field points to. False with a warning
// when the array does not lie inside the file.
int ReadEntryValues(std::FILE* file, const TIFFEntry& entry, bool bigEndian, std::int64_t n,
                    std::int64_t fileLength, const char* what, std::int64_t* values,
                    int& status) {
  const int size = TypeSize(entry.type);
  if (size == 0 || n > entry.count) {
    IWarning(IFormat("FTIFFInputImage: The %s are held as %u values of field type %i", what,
                     entry.count, entry.type),
             status);
    return kFalse;
  }
  const unsigned char* source = entry.field;
  IArray<unsigned char> bytes;
  if (static_cast<std::int64_t>(entry.count) * size > 4) {
    const std::int64_t at = Get32(entry.field, bigEndian);
    const std::int64_t length = n * size;
    if (fileLength >= 0 && at + length > fileLength) {
      IWarning(IFormat("FTIFFInputImage: The %s (bytes %lld to %lld) lie beyond the end of the "
                       "file (%lld bytes)",
                       what, static_cast<long long>(at), static_cast<long long>(at + length),
                       static_cast<long long>(fileLength)),
               status);
      return kFalse;
    }
    if (!IAllocateMemory("FTIFFInputImage: ARRAY", length, bytes, status)) return kFalse;
    if (fseeko(file, static_cast<off_t>(at), SEEK_SET) != 0) {
      IWarning("FTIFFInputImage; File positoning failed", status);
      return kFalse;
    }
    if (std::fread(bytes.get(), 1, static_cast<std::size_t>(length), file) !=
        static_cast<std::size_t>(length)) {
      IWarning(IFormat("FTIFFInputImage: Problem reading the %s", what), status);
      return kFalse;
    }
    source = bytes.get();
  }
  for (std::int64_t i = 0; i < n; ++i) {
    values[i] = size == 2 ? Get16(source + 2 * i, bigEndian) : Get32(source + 4 * i, bigEndian);
  }
  return kTrue;
}

// Whether the first `n` values of a SHORT or LONG entry lie inside the file (values held in
// the field itself always do); false with a warning otherwise.
int EntryArrayInFile(const TIFFEntry& entry, bool bigEndian, std::int64_t n,
                     std::int64_t fileLength, const char* what, int& status) {
  const int size = TypeSize(entry.type);
  if (size == 0 || n > entry.count) {
    IWarning(IFormat("FTIFFInputImage: The %s are held as %u values of field type %i", what,
                     entry.count, entry.type),
             status);
    return kFalse;
  }
  if (static_cast<std::int64_t>(entry.count) * size <= 4) return kTrue;
  const std::int64_t at = Get32(entry.field, bigEndian);
  const std::int64_t length = n * size;
  if (fileLength < 0 || at + length > fileLength) {
    IWarning(IFormat("FTIFFInputImage: The %s (bytes %lld to %lld) lie beyond the end of the "
                     "file (%lld bytes)",
                     what, static_cast<long long>(at), static_cast<long long>(at + length),
                     static_cast<long long>(fileLength)),
             status);
    return kFalse;
  }
  return kTrue;
}

// The first value of a scalar tag, or -1 when its field type is not SHORT or LONG. A tag with
// one value per sample holds the first sample's value in the field or at the field's offset.
int ScalarValue(std::FILE* file, const TIFFEntry& entry, bool bigEndian, std::int64_t fileLength) {
  const int size = TypeSize(entry.type);
  if (size == 0 || entry.count == 0) return -1;
  if (static_cast<std::int64_t>(entry.count) * size <= 4) {
    return ClampToInt(size == 2 ? Get16(entry.field, bigEndian) : Get32(entry.field, bigEndian));
  }
  const std::int64_t at = Get32(entry.field, bigEndian);
  unsigned char bytes[4];
  if ((fileLength >= 0 && at + size > fileLength) ||
      fseeko(file, static_cast<off_t>(at), SEEK_SET) != 0 ||
      std::fread(bytes, 1, static_cast<std::size_t>(size), file) !=
          static_cast<std::size_t>(size)) {
    return -1;
  }
  return ClampToInt(size == 2 ? Get16(bytes, bigEndian) : Get32(bytes, bigEndian));
}

// How one strip's pixels are converted.
enum class PixelKind { kNone, kUnsigned8, kSigned8, kUnsigned16, kSigned16, kUnsigned32,
                       kSigned32, kReal32 };

PixelKind Kind(const TIFFHeader& h) {
  const int format = h.sampleFormat;
  if (format == kFormatUnsigned) {
    if (h.bits == 8) return PixelKind::kUnsigned8;
    if (h.bits == 16) return PixelKind::kUnsigned16;
    if (h.bits == 32) return PixelKind::kUnsigned32;
  } else if (format == kFormatSigned) {
    if (h.bits == 8) return PixelKind::kSigned8;
    if (h.bits == 16) return PixelKind::kSigned16;
    if (h.bits == 32) return PixelKind::kSigned32;
  } else if (format == kFormatReal && h.bits == 32) {
    return PixelKind::kReal32;
  }
  return PixelKind::kNone;
}

int ReadStrip(std::FILE* file, PixelKind kind, int swap, std::int64_t offset, int columns,
              int rows, float* out, int& status) {
  switch (kind) {
    case PixelKind::kUnsigned8: return FInput2DUI1(file, swap, offset, columns, rows, out, status);
    case PixelKind::kSigned8: {
      // No raw reader takes signed bytes: read them unsigned and move the upper half down.
      if (!FInput2DUI1(file, swap, offset, columns, rows, out, status)) return kFalse;
      const std::int64_t n = static_cast<std::int64_t>(columns) * rows;
      for (std::int64_t i = 0; i < n; ++i) {
        if (out[i] >= 128.0f) out[i] -= 256.0f;
      }
      return kTrue;
    }
    case PixelKind::kUnsigned16: return FInput2DUI2(file, swap, offset, columns, rows, out, status);
    case PixelKind::kSigned16: return FInput2DI2(file, swap, offset, columns, rows, out, status);
    case PixelKind::kUnsigned32: return FInput2DUI4(file, swap, offset, columns, rows, out, status);
    case PixelKind::kSigned32: return FInput2DI4(file, swap, offset, columns, rows, out, status);
    case PixelKind::kReal32: return FInput2DR4(file, swap, offset, columns, rows, out, status);
    case PixelKind::kNone: break;
  }
  return kFalse;
}

}  // namespace

int FTIFFImageInfo(std::FILE* file, TIFFHeader& h, int& status) {
  static constexpr IRoutine kR{"FTIFFImageInfo", "V0.5"};
  if (IBad(kR, status)) return kFalse;
  unsigned char start[8];
  if (fseeko(file, 0, SEEK_SET) != 0 || std::fread(start, 1, sizeof start, file) != sizeof start) {
    IWarning("FTIFFImageInfo: The file is too short to hold a TIFF header", status);
    return kFalse;
  }
  if (start[0] == 'I' && start[1] == 'I') {
    h.byteOrder = kByteOrderLowFirst;
  } else if (start[0] == 'M' && start[1] == 'M') {
    h.byteOrder = kByteOrderHighFirst;
  } else {
    IWarning("FTIFFImageInfo: The file does not start with a TIFF byte order mark", status);
    return kFalse;
  }
  const bool big = h.byteOrder == kByteOrderHighFirst;
  const std::int64_t length = FFileLength(file);
  const std::int64_t directory = Get32(start + 4, big);
  unsigned char countBytes[2];
  if ((length >= 0 && directory + 2 > length) ||
      fseeko(file, static_cast<off_t>(directory), SEEK_SET) != 0 ||
      std::fread(countBytes, 1, 2, file) != 2) {
    IWarning(IFormat("FTIFFImageInfo: The image file directory at byte %lld lies beyond the end "
                     "of the file",
                     static_cast<long long>(directory)),
             status);
    return kFalse;
  }
  const std::int64_t count = Get16(countBytes, big);
  if (count <= 0) return kTrue;

  // The whole directory first: scalar values held elsewhere in the file are fetched after.
  IArray<unsigned char> entries;
  if (!IAllocateMemory("FTIFFImageInfo: DIRECTORY", 12 * count, entries, status)) return kFalse;
  if (std::fread(entries.get(), 1, static_cast<std::size_t>(12 * count), file) !=
      static_cast<std::size_t>(12 * count)) {
    IWarning("FTIFFImageInfo: The image file directory is cut short by the end of the file",
             status);
    return kFalse;
  }
  for (std::int64_t i = 0; i < count; ++i) {
    const unsigned char* e = entries.get() + 12 * i;
    TIFFEntry entry;
    entry.type = static_cast<int>(Get16(e + 2, big));
    entry.count = Get32(e + 4, big);
    std::copy(e + 8, e + 12, entry.field);
    entry.present = kTrue;
    switch (static_cast<int>(Get16(e, big))) {
      case kTagWidth: h.width = ScalarValue(file, entry, big, length); break;
      case kTagHeight: h.height = ScalarValue(file, entry, big, length); break;
      case kTagBits: h.bits = ScalarValue(file, entry, big, length); break;
      case kTagCompression: h.compression = ScalarValue(file, entry, big, length); break;
      case kTagRowsPerStrip: h.rowsPerStrip = ScalarValue(file, entry, big, length); break;
      case kTagSamplesPerPixel:
        h.samplesPerPixel = ScalarValue(file, entry, big, length);
        break;
      case kTagSampleFormat: h.sampleFormat = ScalarValue(file, entry, big, length); break;
      case kTagStripOffsets: h.stripOffsets = entry; break;
      case kTagStripByteCounts: h.stripByteCounts = entry; break;
      case kTagImageDescription: h.description = entry; break;
      case kTagTileWidth:
      case kTagTileOffsets: h.tiled = kTrue; break;
      default: break;
    }
  }
  // The next directory's offset follows the entries (a file may end without it).
  unsigned char next[4];
  const std::int64_t after = directory + 2 + 12 * count;
  if (fseeko(file, static_cast<off_t>(after), SEEK_SET) == 0 &&
      std::fread(next, 1, sizeof next, file) == sizeof next) {
    h.nextDirectory = Get32(next, big);
  }
  return kTrue;
}

bool FTIFFNeedsLibrary(const TIFFHeader& h) {
  if (h.tiled) return true;
  switch (h.compression) {
    case 5:       // LZW
    case 8:       // Deflate
    case 32946:   // Deflate (old code)
    case 32773:   // PackBits
    case 34925:   // LZMA
    case 50000:   // Zstandard
      // Compressed strips cannot be told apart without their byte counts.
      return h.stripByteCounts.present != 0;
    default: return false;
  }
}

int FTIFFInputImage(std::FILE* file, const TIFFHeader& h, DataSet& d, int& status) {
  static constexpr IRoutine kR{"FTIFFInputImage", "V0.6"};
  if (IBad(kR, status)) return kFalse;
  if (h.compression != 1) {
    if (h.compression == 2) {
      IError("TIFF file contains CCITT compressed data, which is not supported", status);
    } else if (h.compression == 32773) {
      IError("TIFF file contains PackBits compressed data, which is not supported", status);
    } else {
      IError(IFormat("TIFF file contains compressed data type: %i", h.compression), status);
    }
    return kFalse;
  }
  if (h.samplesPerPixel != 1) {
    INote(IFormat("FTIFFInputImage: Unsupported samples per pixel: %i", h.samplesPerPixel),
          status);
    return kFalse;
  }
  if (h.bits != 8 && h.bits != 16 && h.bits != 32) {
    INote(IFormat("FTIFFInputImage: Unsupported Bits per sample: %i bits", h.bits), status);
    return kFalse;
  }
  const PixelKind kind = Kind(h);
  if (kind == PixelKind::kNone) {
    INote(IFormat("FTIFFInputImage: Unsupported sample format: %i with %i bits per sample",
                  h.sampleFormat, h.bits),
          status);
    return kFalse;
  }
  const int bytesPerSample = h.bits / 8;
  if (!FCheckImageSize(kR.name, h.width, h.height, bytesPerSample, 0, -1, status)) return kFalse;

  // Every strip must lie inside the file before the image is allocated.
  const int rowsPerStrip =
      (h.rowsPerStrip <= 0 || h.rowsPerStrip > h.height) ? h.height : h.rowsPerStrip;
  const std::int64_t strips =
      (static_cast<std::int64_t>(h.height) + rowsPerStrip - 1) / rowsPerStrip;
  if (!h.stripOffsets.present) {
    IWarning("FTIFFInputImage: The file gives no strip offsets", status);
    return kFalse;
  }
  if (h.stripOffsets.count < strips) {
    IWarning(IFormat("FTIFFInputImage: %u strips of %i rows cannot hold the %i rows of the image",
                     h.stripOffsets.count, rowsPerStrip, h.height),
             status);
    return kFalse;
  }
  const bool big = h.byteOrder == kByteOrderHighFirst;
  const std::int64_t length = FFileLength(file);
  // The strip arrays are held to the file before room for them is taken: a directory that
  // declares two thousand million strips must not cost gigabytes to refuse.
  if (!EntryArrayInFile(h.stripOffsets, big, strips, length, "strip offsets", status)) {
    return kFalse;
  }
  const bool useByteCounts = h.stripByteCounts.present && h.stripByteCounts.count >= strips;
  if (useByteCounts &&
      !EntryArrayInFile(h.stripByteCounts, big, strips, length, "strip byte counts", status)) {
    return kFalse;
  }
  IArray<std::int64_t> offsets;
  if (!IAllocateMemory("FTIFFInputImage: STRIP OFFSETS", strips, offsets, status)) return kFalse;
  if (!ReadEntryValues(file, h.stripOffsets, big, strips, length, "strip offsets", offsets.get(),
                       status)) {
    return kFalse;
  }
  IArray<std::int64_t> byteCounts;
  if (useByteCounts) {
    if (!IAllocateMemory("FTIFFInputImage: STRIP BYTE COUNTS", strips, byteCounts, status) ||
        !ReadEntryValues(file, h.stripByteCounts, big, strips, length, "strip byte counts",
                         byteCounts.get(), status)) {
      return kFalse;
    }
  }
  const std::int64_t rowBytes = static_cast<std::int64_t>(h.width) * bytesPerSample;
  if (length >= 0) {
    for (std::int64_t s = 0; s < strips; ++s) {
      const std::int64_t rows = std::min<std::int64_t>(rowsPerStrip, h.height - s * rowsPerStrip);
      std::int64_t end = offsets[s] + rows * rowBytes;
      if (byteCounts) end = std::max(end, offsets[s] + byteCounts[s]);
      if (end > length) {
        IWarning(IFormat("FTIFFInputImage: Strip %lld (bytes %lld to %lld) lies outside the file "
                         "of %lld bytes",
                         static_cast<long long>(s), static_cast<long long>(offsets[s]),
                         static_cast<long long>(end), static_cast<long long>(length)),
                 status);
        return kFalse;
      }
    }
  }

  if (!IAllocateData(h.width, h.height, d, status)) return kFalse;
  const int swap = h.byteOrder != kByteOrderLowFirst ? kTrue : kFalse;
  for (std::int64_t s = 0; s < strips; ++s) {
    const int row = static_cast<int>(s * rowsPerStrip);
    const int rows = std::min(rowsPerStrip, h.height - row);
    if (!ReadStrip(file, kind, swap, offsets[s], h.width, rows, d.data.get() + IIndex(d, 0, row),
                   status)) {
      return kFalse;
    }
  }
  return kTrue;
}

int FTIFFDatasetInfo(std::FILE* file, const std::string& fileName, int, DatasetInfo& info,
                     int& status) {
  static constexpr IRoutine kR{"FTIFFDatasetInfo", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  TIFFHeader h;
  if (!FTIFFImageInfo(file, h, status)) return kFalse;
  info.columns = h.width;
  info.rows = h.height;
  info.images = 1;
  // Several pages, or a page only libtiff reads: libtiff counts the pages.
  if (h.nextDirectory != 0 || FTIFFNeedsLibrary(h)) {
    int pages = 1, columns = -1, rows = -1;
    if (FTIFFLibraryPages(fileName, pages, columns, rows, status)) {
      info.images = pages;
      info.columns = columns;
      info.rows = rows;
    }
  }
  switch (Kind(h)) {
    case PixelKind::kUnsigned8: info.elementType = kElementUI1; break;
    case PixelKind::kUnsigned16: info.elementType = kElementUI2; break;
    case PixelKind::kSigned16: info.elementType = kElementI2; break;
    case PixelKind::kUnsigned32: info.elementType = kElementUI4; break;
    case PixelKind::kSigned32: info.elementType = kElementI4; break;
    case PixelKind::kReal32: info.elementType = kElementR4; break;
    default: info.elementType = -1; break;
  }
  return kTrue;
}

namespace {

// The ImageDescription text of the first page (empty when there is none, it is not ASCII, it is
// longer than any detector header, or it does not lie inside the file).
std::string DescriptionText(std::FILE* file, const TIFFHeader& h) {
  constexpr std::uint32_t kLongest = 65536;
  const TIFFEntry& e = h.description;
  constexpr int kTypeAscii = 2;
  if (!e.present || e.type != kTypeAscii || e.count == 0 || e.count > kLongest) return {};
  std::string text(e.count, '\0');
  if (e.count <= 4) {
    std::memcpy(text.data(), e.field, e.count);
  } else {
    const std::int64_t at = Get32(e.field, h.byteOrder == kByteOrderHighFirst);
    const std::int64_t length = FFileLength(file);
    if (length < 0 || at + static_cast<std::int64_t>(e.count) > length ||
        fseeko(file, static_cast<off_t>(at), SEEK_SET) != 0 ||
        std::fread(text.data(), 1, e.count, file) != e.count) {
      return {};
    }
  }
  text.resize(std::strlen(text.c_str()));
  return text;
}

}  // namespace

int FInputTIFF(const std::string& fileName, DataSet& d, int& status) {
  return FInputTIFFImage(fileName, 1, d, status);
}

int FInputTIFFImage(const std::string& fileName, int image, DataSet& d, int& status) {
  static constexpr IRoutine kR{"FInputTIFF", "V0.6"};
  if (IBad(kR, status)) return kFalse;
  bool refused = false;
  FBinaryFile file(FOpenInputFile(kR.name, fileName, "rb", refused, status));
  if (refused) return kFalse;
  if (!file) return IFail(kR, kStatusFileOpen, status);
  TIFFHeader h;
  if (!FTIFFImageInfo(file.get(), h, status)) {
    IError("FInputTIFF: Problem inputting header information: " + fileName, status);
    return kFalse;
  }
  // A frame of a hybrid pixel detector (signed counts and its mini-header in the description)
  // has its gaps, bad and overloaded pixels masked, as its CBF frames have.
  const std::string description = image == 1 ? DescriptionText(file.get(), h) : "";
  const bool miniHeader = FIsPilatusMiniHeader(description);
  const bool marks = miniHeader && Kind(h) == PixelKind::kSigned32;
  if (image != 1 || FTIFFNeedsLibrary(h)) {
    file.reset();
    if (!FTIFFLibraryInput(fileName, image, d, status)) return kFalse;
  } else {
    if (!FTIFFInputImage(file.get(), h, d, status)) return kFalse;
    FSetTitleFromFile(fileName, d, true);
  }
  if (marks) FMaskDetectorMarks(d, FPilatusCountCutoff(description), status);
  // Its pixel size, distance and beam position seed the geometry as a CBF's mini-header does.
  if (miniHeader) FPilatusHeaderGeometry(description, d);
  return kTrue;
}
