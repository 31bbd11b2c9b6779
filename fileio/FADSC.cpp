// ADSC images: a "{ KEY=value; ... }" text header, padded to "HEADER_BYTES", followed by the
// pixels.
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "core/status.h"
#include "data/Experiment.h"
#include "core/text.h"
#include "fileio/FReaders.h"
#include "fileio/FTextHeaders.h"

namespace {

// ADSC headers are one 512-byte block unless they say otherwise.
constexpr std::int64_t kDefaultHeaderBytes = 512;

}  // namespace

int FADSCImageInfo(std::FILE* file, TextHeaderInfo& header, int& status) {
  static constexpr IRoutine kR{"FADSCImageInfo", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  header.offset = kDefaultHeaderBytes;
  std::string line, key, value;
  while (FReadHeaderLine(file, line)) {
    const int first = IFirstNonBlank(line, 0);
    if (first >= 0 && line[static_cast<std::size_t>(first)] == '}') return kTrue;
    if (!FKloraKeyValue(line, key, value, status)) continue;

    if (IStringsEqual(key, "BYTE_ORDER")) {
      IConvertUpperCase(value, status);
      header.byteOrder =
          IStringsEqual(value, "BIG_ENDIAN") ? kByteOrderHighFirst : kByteOrderLowFirst;
    } else if (IStringsEqual(key, "HEADER_BYTES")) {
      int bytes = 0;
      if (IToken2Integer(value, bytes, status)) {
        header.offset = bytes;
      } else {
        IWarning("FADSCImageInfo; Problem with 'HEADER_BYTES': " + value, status);
      }
    } else if (IStringsEqual(key, "TYPE")) {
      IConvertUpperCase(value, status);
      if (IStringsEqual(value, "UNSIGNED_SHORT")) {
        header.elementType = kElementUI2;
      } else {
        IWarning("FADSCImageInfo; Unsupported or incorrect type: " + value, status);
      }
    } else if (IStringsEqual(key, "PIXEL_SIZE") || IStringsEqual(key, "DISTANCE") ||
               IStringsEqual(key, "WAVELENGTH")) {
      double v = 0.0;
      char* end = nullptr;
      v = std::strtod(value.c_str(), &end);
      if (end != value.c_str() && std::isfinite(v) && v > 0.0) {
        (IStringsEqual(key, "PIXEL_SIZE") ? header.pixelSizeMm
         : IStringsEqual(key, "DISTANCE") ? header.distanceMm
                                           : header.wavelength) = v;
      }
    } else if (IStringsEqual(key, "SIZE1")) {
      if (!IToken2Integer(value, header.columns, status)) {
        IWarning("FADSCImageInfo; Problem with 'SIZE1' value: " + value, status);
      }
    } else if (IStringsEqual(key, "SIZE2")) {
      if (!IToken2Integer(value, header.rows, status)) {
        IWarning("FADSCImageInfo; Problem with 'SIZE2' value: " + value, status);
      }
    }
  }
  IWarning(IFormat("FADSCImageInfo; Problem with 'fgets': errno = %i", errno), status);
  return kFalse;
}

int FADSCInputImage(std::FILE* file, const TextHeaderInfo& header, DataSet& dataSet, int& status) {
  static constexpr IRoutine kR{"FADSCInputImage", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  switch (header.elementType) {
    case kElementUI2:
    case kElementUI4:
    case kElementI4:
    case kElementR4:
      break;
    default:
      IError(IFormat("FADSCInputImage: Unknown data-type: %i", header.elementType), status);
      return kFalse;
  }
  // A header without "BYTE_ORDER" is taken as high byte first.
  const int swap = header.byteOrder != kByteOrderLowFirst ? kTrue : kFalse;
  return FInputPixelBlock(file, header, swap, dataSet, status);
}

int FADSCDatasetInfo(std::FILE* file, const std::string&, int, DatasetInfo& info, int& status) {
  static constexpr IRoutine kR{"FADSCDatasetInfo", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  return FTextHeaderDatasetInfo(file, nullptr, FADSCImageInfo, info, status);
}

int FInputADSC(const std::string& fileName, DataSet& dataSet, int& status) {
  static constexpr IRoutine kR{"FInputADSC", "V0.3"};
  TextHeaderInfo header;
  if (!FInputTextHeaderFile(kR, fileName, nullptr, FADSCImageInfo, FADSCInputImage,
                            "FADSCInputImage", header, dataSet, status)) {
    return kFalse;
  }
  // The header has no title: the image is named after its file, never after an earlier one.
  FSetTitleFromFile(fileName, dataSet, false);
  // Geometry the header gives, where it is plausible. The beam centre keys are left: their
  // units (mm or pixels) and axes differ between the programs that write them.
  if (header.pixelSizeMm >= 1.0e-3 && header.pixelSizeMm <= 10.0) {
    dataSet.pixelSizeX = dataSet.pixelSizeY = static_cast<float>(header.pixelSizeMm * 1.0e-3);
    dataSet.headerGeometry |= kGeometryPixelSizeX | kGeometryPixelSizeY;
  }
  if (header.distanceMm >= 1.0 && header.distanceMm <= 1.0e5) {
    dataSet.distance = static_cast<float>(header.distanceMm * 1.0e-3);
    dataSet.headerGeometry |= kGeometryDistance;
  }
  if (header.wavelength >= 0.01 && header.wavelength <= 100.0) {
    dataSet.wavelength = static_cast<float>(header.wavelength * 1.0e-10);
    dataSet.headerGeometry |= kGeometryWavelength;
  }
  return kTrue;
}
