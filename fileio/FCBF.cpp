// CBF reader: not built yet; the format is refused with the unsupported-format warning.
#include "fileio/FReaders.h"

#include "core/status.h"

namespace {

int Unsupported(const std::string& fileName, int& status) {
  IWarning("FInputImage: The format is unsupported for file: " + fileName, status);
  return kFalse;
}

}  // namespace

int FCBFDatasetInfo(std::FILE*, const std::string& fileName, int, DatasetInfo&, int& status) {
  return Unsupported(fileName, status);
}

int FInputCBF(const std::string& fileName, DataSet&, int& status) {
  return Unsupported(fileName, status);
}

