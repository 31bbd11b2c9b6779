// MarResearch image-plate files.
//
// Two layouts share one header convention: 32-bit words written in the scanner's byte order,
// recognised by a marker in the first word (its value tells the layout, its byte order the
// order of every later word). The old layout stores unpacked 16-bit pixels after a header that
// fills one image line and puts its overflow table after the pixels; the packed layout has a
// 4096-byte header, the overflow table right after it in 64-byte blocks of eight records, and
// then the CCP4 packed stream. Pixels too bright for 16 bits are held in the overflow table.
// The scanner writes the image top row first; the first file row ends at the bottom.
#include <sys/types.h>

#include <cstdint>
#include <string>

#include "core/status.h"
#include "fileio/FBinaryHeaders.h"
#include "fileio/FReaders.h"
#include "fileio/FMarPackedImage.h"
#include "maths/MDataFlip.h"

namespace {

constexpr std::int32_t kMarkerPacked = 1234;

bool IsMarker(std::int32_t value) {
  return value == 1200 || value == kMarkerPacked || value == 1800 || value == 2000;
}

std::int32_t Word(const unsigned char* p, bool swap) {
  const std::uint32_t value =
      swap ? (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
                 (static_cast<std::uint32_t>(p[2]) << 8) | p[3]
           : (static_cast<std::uint32_t>(p[3]) << 24) | (static_cast<std::uint32_t>(p[2]) << 16) |
                 (static_cast<std::uint32_t>(p[1]) << 8) | p[0];
  return static_cast<std::int32_t>(value);
}

// The marker and the byte order it is written in; false when the first word is no marker.
bool ReadMarker(const unsigned char* bytes, std::int32_t& marker, bool& swap) {
  swap = false;
  marker = Word(bytes, false);
  if (IsMarker(marker)) return true;
  swap = true;
  marker = Word(bytes, true);
  return IsMarker(marker);
}

// The most pixels a packed stream of `bytes` bytes can describe: every 6-bit block header
// giving 128 pixels of difference 0.
std::int64_t PackedCapacity(std::int64_t bytes) { return bytes * 8 / 6 * 128; }

}  // namespace

int FIsMar(const unsigned char* buffer, int length) {
  if (length < 1024) return kFalse;
  std::int32_t marker = 0;
  bool swap = false;
  if (!ReadMarker(buffer, marker, swap)) return kFalse;
  auto w = [&](int i) { return static_cast<std::int64_t>(Word(buffer + 4 * i, swap)); };
  if (marker == kMarkerPacked) {
    return (w(1) >= 0 && w(1) <= 10000 && w(3) >= 0 && w(3) <= 2 && w(5) >= 0 &&
            w(5) <= 100000000 && w(2) >= 0 && w(2) <= w(5))
               ? kTrue
               : kFalse;
  }
  return (w(1) >= 1 && w(1) <= 3450 && w(4) >= 0 && w(4) <= marker * w(1)) ? kTrue : kFalse;
}

std::int64_t FMarPixelOffset(const MarHeader& h) {
  if (h.layout == kMarLayoutOld) return 2 * static_cast<std::int64_t>(h.columns);
  return 64 * (64 + (static_cast<std::int64_t>(h.numOverflow) + 7) / 8);
}

std::int64_t FMarOverflowOffset(const MarHeader& h) {
  if (h.layout == kMarLayoutOld) {
    return 2 * static_cast<std::int64_t>(h.columns) * (static_cast<std::int64_t>(h.rows) + 1);
  }
  return 4096;
}

int FMarImageInfo(std::FILE* file, MarHeader& h, int& status) {
  static constexpr IRoutine kR{"FMarImageInfo", "V0.5"};
  if (IBad(kR, status)) return kFalse;
  unsigned char bytes[4 + 88];
  if (fseeko(file, 0, SEEK_SET) != 0 || std::fread(bytes, 1, 4, file) != 4) {
    return IFail(kR, kStatusRead, status);
  }
  std::int32_t marker = 0;
  bool swap = false;
  if (!ReadMarker(bytes, marker, swap)) {
    IWarning(IFormat("FMarImageInfo: The first word (%i) is not a MarResearch header marker",
                     Word(bytes, false)),
             status);
    return kFalse;
  }
  const bool packed = marker == kMarkerPacked;
  const std::size_t more = packed ? 60 : 88;
  if (std::fread(bytes + 4, 1, more, file) != more) return IFail(kR, kStatusRead, status);
  auto w = [&](int i) { return Word(bytes + 4 * i, swap); };

  h.swap = swap ? kTrue : kFalse;
  if (packed) {
    h.layout = kMarLayoutPacked;
    h.columns = w(1);
    h.rows = h.columns > 0 ? w(5) / h.columns : -1;
    h.numOverflow = w(2);
  } else {
    h.layout = kMarLayoutOld;
    h.columns = marker;
    h.rows = w(1);
    h.numOverflow = w(4);
  }
  if (h.numOverflow < 0) {
    IWarning(IFormat("FMarImageInfo: Invalid number of overflow records: %i", h.numOverflow),
             status);
    return kFalse;
  }
  return kTrue;
}

int FMarInputImage(std::FILE* file, const MarHeader& h, DataSet& d, int& status) {
  static constexpr IRoutine kR{"FMarInputImage", "V0.7"};
  if (IBad(kR, status)) return kFalse;
  if (h.layout != kMarLayoutOld && h.layout != kMarLayoutPacked) {
    IError("The Mar file contains spiral data, which is not supported", status);
    return kFalse;
  }

  // Everything the header claims must fit the file before anything is allocated.
  const std::int64_t length = FFileLength(file);
  const std::int64_t pixelOffset = FMarPixelOffset(h);
  const std::int64_t tableOffset = FMarOverflowOffset(h);
  if (h.layout == kMarLayoutOld) {
    if (!FCheckImageSize(kR.name, h.columns, h.rows, 2, pixelOffset, length, status)) {
      return kFalse;
    }
  } else {
    if (!FCheckImageSize(kR.name, h.columns, h.rows, 1, pixelOffset, -1, status)) return kFalse;
    if (length >= 0) {
      const std::int64_t pixels = static_cast<std::int64_t>(h.columns) * h.rows;
      if (pixelOffset >= length || pixels > PackedCapacity(length - pixelOffset)) {
        IWarning(IFormat("FMarInputImage: The header describes %lld pixels from byte %lld, more "
                         "than the file of %lld bytes can hold",
                         static_cast<long long>(pixels), static_cast<long long>(pixelOffset),
                         static_cast<long long>(length)),
                 status);
        return kFalse;
      }
    }
  }
  if (h.numOverflow > 0 && length >= 0 && tableOffset + 8 * std::int64_t{h.numOverflow} > length) {
    IWarning(IFormat("FMarInputImage: The %i overflow records from byte %lld lie beyond the end "
                     "of the file (%lld bytes)",
                     h.numOverflow, static_cast<long long>(tableOffset),
                     static_cast<long long>(length)),
             status);
    return kFalse;
  }

  if (!IAllocateData(h.columns, h.rows, d, status)) return kFalse;
  if (h.layout == kMarLayoutOld) {
    if (!FInput2DUI2(file, h.swap, pixelOffset, h.columns, h.rows, d.data.get(), status)) {
      return kFalse;
    }
  } else if (!FMarPackedImage(file, pixelOffset, h.columns, h.rows, d, status)) {
    return kFalse;
  }

  if (h.numOverflow > 0) {
    if (fseeko(file, static_cast<off_t>(tableOffset), SEEK_SET) != 0) {
      IWarning("FMarInputImage; File positoning failed", status);
      return kFalse;
    }
    const std::int64_t pixels = static_cast<std::int64_t>(h.columns) * h.rows;
    for (int i = 0; i < h.numOverflow; ++i) {
      unsigned char record[8];
      if (std::fread(record, 1, sizeof record, file) != sizeof record) {
        return IFail(kR, kStatusRead, status);
      }
      const std::int32_t address = Word(record, h.swap);
      const std::int32_t intensity = Word(record + 4, h.swap);
      // Addresses count pixels from 1 (the first pixel of the file is 1, the last
      // columns x rows), as the scanners write them.
      if (address < 1 || address > pixels) {
        IWarning(IFormat("FMarInputImage: Invalid Overloaded pixel address: %i", address), status);
        continue;
      }
      const std::int64_t index = static_cast<std::int64_t>(address) - 1;
      const int x = static_cast<int>(index % h.columns);
      const int y = static_cast<int>(index / h.columns);
      if (x < d.dimX && y < d.dimY) d.data[IIndex(d, x, y)] = static_cast<float>(intensity);
    }
  }

  IDefineWholeImage(d, h.columns, h.rows);
  return MDataFlipTB(d, status);
}

int FMarDatasetInfo(std::FILE* file, const std::string&, int, DatasetInfo& info, int& status) {
  static constexpr IRoutine kR{"FMarDatasetInfo", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  MarHeader h;
  if (!FMarImageInfo(file, h, status)) return kFalse;
  info.columns = h.columns;
  info.rows = h.rows;
  info.images = 1;
  info.elementType = h.layout == kMarLayoutOld ? kElementUI2 : kElementUI4;
  return kTrue;
}

int FInputMar(const std::string& fileName, DataSet& d, int& status) {
  static constexpr IRoutine kR{"FInputMar", "V0.6"};
  if (IBad(kR, status)) return kFalse;
  bool refused = false;
  FBinaryFile file(FOpenInputFile(kR.name, fileName, "rb", refused, status));
  if (refused) return kFalse;
  if (!file) return IFail(kR, kStatusFileOpen, status);
  MarHeader h;
  if (!FMarImageInfo(file.get(), h, status)) {
    IError("FInputMar: Problem inputting header information: " + fileName, status);
    return kFalse;
  }
  if (!FMarInputImage(file.get(), h, d, status)) return kFalse;
  FSetTitleFromFile(fileName, d, false);
  return kTrue;
}
