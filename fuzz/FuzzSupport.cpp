#include "fuzz/FuzzSupport.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "core/database.h"
#include "core/status.h"
#include "data/DataSet.h"
#include "fileio/FInput.h"

namespace {

// The program reads an HDF5 file in a child process first, so that the library's crashes on
// damaged files cannot take it down. Every target reads in its own process instead: to see
// those crashes, and without a fork per input (detection sends any input with the signature
// to the HDF5 reader).
const bool kHDF5InProcess = setenv("LV_HDF5_IN_PROCESS", "1", 1) == 0;

std::string MakeFolder() {
  namespace fs = std::filesystem;
  fs::path base = "/dev/shm";
  if (access(base.c_str(), W_OK) != 0) {
    const char* tmp = std::getenv("TMPDIR");
    base = tmp && *tmp ? tmp : "/tmp";
  }
  const fs::path folder = base / ("lumivane-fuzz-" + std::to_string(getpid()));
  std::error_code error;
  fs::remove_all(folder, error);
  fs::create_directories(folder);
  return folder.string();
}

struct Folder {
  std::string path = MakeFolder();
  ~Folder() {
    std::error_code error;
    std::filesystem::remove_all(path, error);
  }
};

}  // namespace

const std::string& FuzzFolder() {
  (void)kHDF5InProcess;
  static Folder folder;
  return folder.path;
}

std::string FuzzWriteFile(const std::string& name, std::string_view bytes) {
  const std::string path = FuzzFolder() + "/" + name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) std::abort();  // the memory file system is full: no finding of ours
  return path;
}

void FuzzSplit(std::string_view input, std::string_view& header, std::string_view& binary) {
  const std::size_t at = input.find(kFuzzBinarySeparator);
  if (at == std::string_view::npos) {
    header = input;
    binary = {};
    return;
  }
  header = input.substr(0, at);
  binary = input.substr(at + kFuzzBinarySeparator.size());
}

void FuzzReset() {
  int status = kStatusGood;
  IResetStatus(status);
  IClearDataBase();
}

namespace {

void ReadAs(const std::string& path, int format, int datasets) {
  int status = kStatusGood;
  const int last = datasets > 1 ? datasets : 1;
  for (int dataset : {1, last}) {
    DatasetInfo info;
    status = kStatusGood;
    if (!FGetDatasetInfo(path, format, dataset, info, status)) continue;
    for (int image : {1, info.images > 1 ? info.images : 1}) {
      DataSet d;
      status = kStatusGood;
      FInputImage(path, format, dataset, image, kFalse, d, status);
      if (info.images <= 1) break;
    }
    if (last == 1) break;
  }
  FuzzReset();
}

}  // namespace

void FuzzReadImage(const std::string& path, const int* forced) {
  FuzzReset();
  int status = kStatusGood;
  {
    // The program's own input of a named file (Open_File, the series' reading ahead).
    DataSet d;
    FInputDataWith(path, FInputHooks{}, d, status);
    FuzzReset();
    status = kStatusGood;
  }
  FileInfo fileInfo;
  int detected = kFormatNone;
  if (FGetFileInfo(path, fileInfo, status) && fileInfo.format != kFormatNone) {
    detected = fileInfo.format;
    // Every data-set's information, as the open dialog lists them.
    for (int k = 1; k <= fileInfo.numDatasets && k <= 64; ++k) {
      DatasetInfo info;
      status = kStatusGood;
      FGetDatasetInfo(path, fileInfo.format, k, info, status);
    }
    int datasets = fileInfo.numDatasets;
    if (fileInfo.format == kFormatHDF5) {
      // The image stacks the open dialog offers: the last is read as well as the first.
      std::vector<FImageStack> stacks;
      status = kStatusGood;
      FHDF5ImageStacks(path, stacks, status);
      datasets = static_cast<int>(std::min<std::size_t>(stacks.size(), 256));
    }
    ReadAs(path, fileInfo.format, datasets);
  }
  FuzzReset();
  for (const int* format = forced; format && *format != kFormatNone; ++format) {
    if (*format != detected) ReadAs(path, *format, 1);
  }
}
