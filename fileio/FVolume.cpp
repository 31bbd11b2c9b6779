// Volume slices: a text information file ("vol.raw.info") with the sizes "NUM_X", "NUM_Y" and
// "NUM_Z", beside a raw file ("vol.raw") of NUM_Z slices of NUM_X x NUM_Y native 32-bit reals.
#include <climits>
#include <cstdint>

#include "core/status.h"
#include "core/text.h"
#include "fileio/FReaders.h"
#include "fileio/FTextHeaders.h"

int FVolumeInfo(std::FILE* file, TextHeaderInfo& header, int& status) {
  static constexpr IRoutine kR{"FVolumeInfo", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  header.columns = header.rows = header.slices = -1;
  header.elementType = kElementR4;
  header.byteOrder = kByteOrderLowFirst;
  header.offset = 0;

  std::string line, key, value;
  if (!IReadLine(file, 256, line) || !IStringsEqual(line, "! HST_SLAVE VOLUME INFO FILE")) {
    IWarning("File is not a volume information file", status);
    return kFalse;
  }
  while (IReadLine(file, 256, line)) {
    if (ITrimmedLength(line) == 0) continue;
    if (!FVolumeKeyValue(line, key, value, status)) continue;
    if (IStringsEqual(key, "NUM_X")) {
      if (!IToken2Integer(value, header.columns, status)) {
        IWarning("FVolumeInfo; Problem with 'NUM_X' value: " + value, status);
      }
    } else if (IStringsEqual(key, "NUM_Y")) {
      if (!IToken2Integer(value, header.rows, status)) {
        IWarning("FVolumeInfo; Problem with 'NUM_Y' value: " + value, status);
      }
    } else if (IStringsEqual(key, "NUM_Z")) {
      if (!IToken2Integer(value, header.slices, status)) {
        IWarning("FVolumeInfo; Problem with 'NUM_Z' value: " + value, status);
      }
    }
  }
  return header.columns > 0 && header.rows > 0 && header.slices > 0 ? kTrue : kFalse;
}

int FVolumeRawFileName(const std::string& infoFileName, std::string& rawFileName, int& status) {
  static constexpr IRoutine kR{"FVolumeRawFileName", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  // ".info" is looked for in the file's own name, so that a directory such as "run.info/"
  // cannot cut the path short, and not at its first character, which would leave no name.
  const int nameStart = IFindLastCharacter(infoFileName, '/') + 1;
  const int at = IFindText(infoFileName, nameStart + 1, ".info");
  if (at < 0) {
    IError("Volume file name is incorrect: " + infoFileName, status);
    return kFalse;
  }
  rawFileName = infoFileName.substr(0, static_cast<std::size_t>(at));
  return kTrue;
}

int FVolumeInputImage(const std::string& infoFileName, const TextHeaderInfo& header, int slice,
                      DataSet& dataSet, int& status) {
  static constexpr IRoutine kR{"FVolumeInputImage", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  std::string rawFileName;
  if (!FVolumeRawFileName(infoFileName, rawFileName, status)) return kFalse;
  bool refused = false;
  const FOwnedFile file(FOpenInputFile(kR.name, rawFileName, "rb", refused, status));
  if (refused) return kFalse;
  if (!file) {
    IError("FVolumeInputImage; Failed to open binary file: " + rawFileName, status);
    return kFalse;
  }
  if (header.elementType != kElementR4) {
    IWarning(IFormat("ERROR: FVolumeInputImage: Unknown data-type: %i", header.elementType),
             status);
    return kFalse;
  }
  if (slice < 1 || slice > header.slices) {
    IError(IFormat("FVolumeInputImage: Slice %i is outside the volume's 1 to %i", slice,
                   header.slices),
           status);
    return kFalse;
  }

  // The slice's size is held to what an allocation can take before it is multiplied out; its
  // place in the raw file is saturated so that an absurd volume reads as one that the file
  // cannot hold.
  if (!FCheckImageSize(kR.name, header.columns, header.rows, 4, 0, -1, status)) return kFalse;
  TextHeaderInfo block = header;
  const std::int64_t pixels = static_cast<std::int64_t>(header.columns) * header.rows;
  const std::int64_t sliceBytes = pixels * 4;
  block.offset =
      sliceBytes > 0 && slice - 1 > INT64_MAX / sliceBytes ? INT64_MAX : sliceBytes * (slice - 1);
  if (!FCheckPixelBlock(kR.name, block, 4, file.get(), status)) return kFalse;
  if (!IAllocateData(header.columns, header.rows, dataSet, status)) return kFalse;
  return FInputPixelBlock(file.get(), block, kFalse, dataSet, status);
}

int FVolumeDatasetInfo(std::FILE* file, const std::string&, int, DatasetInfo& info, int& status) {
  static constexpr IRoutine kR{"FVolumeDatasetInfo", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  TextHeaderInfo header;
  if (!FVolumeInfo(file, header, status)) return kFalse;
  info.columns = header.columns;
  info.rows = header.rows;
  info.images = header.slices;
  info.elementType = kElementR4;
  return kTrue;
}

int FInputVolume(const std::string& fileName, int image, DataSet& dataSet, int& status) {
  static constexpr IRoutine kR{"FInputVolume", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  bool refused = false;
  const FOwnedFile file(FOpenInputFile(kR.name, fileName, "r", refused, status));
  if (refused) return kFalse;
  if (!file) return IFail(kR, kStatusFileOpen, status);

  TextHeaderInfo header;
  if (!FVolumeInfo(file.get(), header, status)) {
    IError("FInputVolume: Problem inputting header information: " + fileName, status);
    return kFalse;
  }
  // The raw file is checked against the sizes before the image is allocated, so both happen
  // in the slice routine, which reports its own errors.
  if (!FVolumeInputImage(fileName, header, image, dataSet, status)) return kFalse;
  std::string rawFileName;
  FVolumeRawFileName(fileName, rawFileName, status);
  FSetTitleFromFile(rawFileName, dataSet, false);
  return kTrue;
}
