// Chiplot reader: not built yet; the format is refused with the unsupported-format warning.
#include "fileio/FInput.h"

#include "core/status.h"

namespace {

int Unsupported(const std::string& fileName, int& status) {
  IWarning("FInputImage: The format is unsupported for file: " + fileName, status);
  return kFalse;
}

}  // namespace

int FChiplotDatasetInfo(std::FILE*, const std::string& fileName, int, DatasetInfo&, int& status) {
  return Unsupported(fileName, status);
}

int FInputChiplot(const std::string& fileName, DataSet&, int& status) {
  return Unsupported(fileName, status);
}

