// Princeton camera files: a 4100-byte little-endian header, then the frames one after the
// other, each columns x rows pixels of one element type, never swapped.
#include <sys/types.h>

#include <cstdint>
#include <limits>
#include <string>

#include "core/status.h"
#include "fileio/FBinaryHeaders.h"
#include "fileio/FReaders.h"

namespace {

unsigned UInt16(const unsigned char* p) { return p[0] | (static_cast<unsigned>(p[1]) << 8); }

}  // namespace

int FPrincetonImageInfo(std::FILE* file, PrincetonHeader& h, int& status) {
  static constexpr IRoutine kR{"FPrincetonImageInfo", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  unsigned char bytes[kPrincetonHeaderBytes];
  if (fseeko(file, 0, SEEK_SET) != 0 ||
      std::fread(bytes, 1, sizeof bytes, file) != sizeof bytes) {
    INote("FPrincetonImageInfo: Problem reading header bytes.", status);
    return kFalse;
  }
  h.columns = static_cast<int>(UInt16(bytes + 42));
  h.rows = static_cast<int>(UInt16(bytes + 656));
  h.frames = static_cast<int>(UInt16(bytes + 1446));
  if (h.frames == 0) {
    // Files of the oldest cameras: one frame of unsigned 16-bit pixels, rows kept elsewhere.
    h.frames = 1;
    h.rows = static_cast<int>(UInt16(bytes + 34));
    h.elementType = kElementUI2;
    return kTrue;
  }
  const auto type = static_cast<std::int16_t>(UInt16(bytes + 108));
  switch (type) {
    case 0: h.elementType = kElementR4; break;
    case 1: h.elementType = kElementUI4; break;
    case 2: h.elementType = kElementI2; break;
    case 3: h.elementType = kElementUI2; break;
    default:
      h.elementType = -1;
      IWarning(IFormat("FPrincetonImageInfo: Unknown data type: %i", type), status);
      break;
  }
  return kTrue;
}

int FPrincetonInputImage(std::FILE* file, const PrincetonHeader& h, int frame, DataSet& d,
                         int& status) {
  static constexpr IRoutine kR{"FPrincetonInputImage", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  using Reader = int (*)(std::FILE*, int, std::int64_t, int, int, float*, int&);
  Reader reader = nullptr;
  switch (h.elementType) {
    case kElementUI2: reader = FInput2DUI2; break;
    case kElementUI4:
    case kElementI4: reader = FInput2DI4; break;
    case kElementR4: reader = FInput2DR4; break;
    default:
      IError(IFormat("FPrincetonInputImage: Unknown data-type: %i", h.elementType), status);
      return kFalse;
  }
  if (frame < 1 || frame > h.frames) {
    IWarning(IFormat("FPrincetonInputImage: Frame %i does not exist; the file holds %i frame(s)",
                     frame, h.frames),
             status);
    return kFalse;
  }
  // Sizes come from 16-bit fields: the offset of any frame fits 64 bits.
  const int size = FElementSize(h.elementType);
  const std::int64_t offset = kPrincetonHeaderBytes + static_cast<std::int64_t>(frame - 1) *
                                                          h.columns * h.rows * size;
  if (!FCheckImageSize(kR.name, h.columns, h.rows, size, offset, FFileLength(file), status)) {
    return kFalse;
  }
  if (!IAllocateData(h.columns, h.rows, d, status)) return kFalse;
  return reader(file, kFalse, offset, h.columns, h.rows, d.data.get(), status);
}

int FPrincetonDatasetInfo(std::FILE* file, const std::string&, int, DatasetInfo& info,
                          int& status) {
  static constexpr IRoutine kR{"FPrincetonDatasetInfo", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  PrincetonHeader h;
  if (!FPrincetonImageInfo(file, h, status)) return kFalse;
  info.columns = h.columns;
  info.rows = h.rows;
  info.images = h.frames;
  info.elementType = h.elementType;
  return kTrue;
}

int FInputPrinceton(const std::string& fileName, int image, DataSet& d, int& status) {
  static constexpr IRoutine kR{"FInputPrinceton", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  bool refused = false;
  FBinaryFile file(FOpenInputFile(kR.name, fileName, "rb", refused, status));
  if (refused) return kFalse;
  if (!file) return IFail(kR, kStatusFileOpen, status);
  PrincetonHeader h;
  if (!FPrincetonImageInfo(file.get(), h, status)) {
    IError("FInputPrinceton: Problem inputting header information: " + fileName, status);
    return kFalse;
  }
  if (!FPrincetonInputImage(file.get(), h, image, d, status)) return kFalse;
  FSetTitleFromFile(fileName, d, true);
  return kTrue;
}
