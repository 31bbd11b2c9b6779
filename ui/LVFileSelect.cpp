#include "ui/LVFileSelect.h"

#include <algorithm>
#include <filesystem>
#include <vector>

#include "core/database.h"
#include "core/status.h"
#include "core/text.h"
#include "platform/Platform.h"

namespace {

const char* const kImageFilter =
    "Known data format extensions|*.bsl;*.cbf;*.chi;*.edf;*.info;*.image;*.img;*.mar*;"
    "*.mar2000;*.mar3450;*.mccd;*.pck*;*.spe;*.tif;*.tiff;*.h5;*.nxs;*.hdf5|All files|*.*";

// "desc|*.a;*.b|All files|*.*" becomes the chooser's "desc (*.a *.b);;All files (*)".
std::string ChooserFilter(const std::string& pairs) {
  std::vector<std::string> parts;
  std::string part;
  for (char c : pairs) {
    if (c == '|') {
      parts.push_back(part);
      part.clear();
    } else {
      part.push_back(c);
    }
  }
  parts.push_back(part);
  std::string result;
  for (std::size_t i = 0; i + 1 < parts.size(); i += 2) {
    std::string patterns = parts[i + 1];
    for (char& c : patterns) {
      if (c == ';') c = ' ';
    }
    if (patterns == "*.*") patterns = "*";
    if (!result.empty()) result += ";;";
    result += parts[i] + " (" + patterns + ")";
  }
  return result;
}

}  // namespace

void WRememberFolder(const std::string& folderItem, const std::string& path) {
  if (folderItem.empty()) return;
  const std::size_t slash = path.find_last_of('/');
  std::error_code error;
  std::filesystem::path folder = std::filesystem::absolute(
      slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1), error);
  if (error) return;
  std::string text = folder.lexically_normal().string();
  if (text.size() > 1 && text.back() == '/') text.pop_back();
  // A name the data-base cannot hold whole is not kept at all: cut, it would name another
  // folder.
  if (text.size() > kLineLength || text.find_first_of("\n;") != std::string::npos) return;
  int local = kStatusGood;
  ISetDBItem(folderItem, text, local);
}

std::string WRememberedFolder(const std::string& folderItem) {
  if (folderItem.empty()) return {};
  std::string folder;
  int local = kStatusGood;
  if (!IGetDBItem(folderItem, folder, local) || folder.empty()) return {};
  std::error_code error;
  return std::filesystem::is_directory(folder, error) ? folder : std::string();
}

int WSelectFile(const WFileDialog& dialog, int bufferSize, std::string& buffer, int& status) {
  static constexpr IRoutine kR{"WDefineFileInfo", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  PBackend& backend = PCurrentBackend();
  if (!backend.HasMainWindow()) return IFail(kR, kStatusBadHandle, status);
  if (bufferSize < 10) return IFail(kR, 37, status);
  PFileRequest request;
  request.save = dialog.save;
  request.multiple = dialog.multiple;
  request.title = dialog.title;
  request.filter = ChooserFilter(dialog.filter);
  request.defaultSuffix = dialog.defaultExtension;
  request.initialName = buffer;
  request.nameOrder = INaturalLess;
  if (buffer.find('/') == std::string::npos) {
    request.directory = WRememberedFolder(dialog.folderItem);
    if (request.directory.empty()) {
      request.directory = WRememberedFolder(dialog.fallbackFolderItem);
    }
  }
  std::string chosen;
  if (!backend.ChooseFile(request, chosen)) return kFalse;  // a cancel gives no message
  // Several files: the directory before the first NUL; one: the file's own folder.
  const std::size_t nul = chosen.find('\0');
  if (dialog.multiple && nul != std::string::npos && nul + 1 < chosen.size() &&
      chosen[nul + 1] != '\0') {
    const std::string directory = chosen.substr(0, nul);
    WRememberFolder(dialog.folderItem, directory.empty()          ? std::string("./")
                                       : directory.back() == '/' ? directory
                                                                 : directory + "/");
  } else {
    WRememberFolder(dialog.folderItem, chosen.substr(0, nul));
  }
  if (dialog.save && !dialog.defaultExtension.empty()) {
    const std::size_t slash = chosen.find_last_of('/');
    const std::size_t dot = chosen.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
      chosen += "." + dialog.defaultExtension;
    }
  }
  if (static_cast<int>(chosen.size()) >= bufferSize && !dialog.multiple) {
    IWarning("The chosen file name is too long: " + chosen, status);
    return kFalse;
  }
  buffer = chosen;
  return kTrue;
}

int LVSelectInFile(int bufferSize, std::string& buffer, int& status) {
  return WSelectFile(
      {false, false, "SELECT INPUT FILE CONTAINING DATA IMAGE", kImageFilter, "", kImagesFolder},
      bufferSize, buffer, status);
}

int LVSelectDsFile(int bufferSize, std::string& buffer, int& status) {
  return WSelectFile({false, false,
                      "SELECT FILE CONTAINING D-SPACINGSIN ANGSTROMS (Low to high, 1 per line)",
                      "D-Spacings File|*.Ds|All files|*.*", "", kDSpacingsFolder},
                     bufferSize, buffer, status);
}

void WNormaliseFileList(std::string& buffer) {
  // Several files: the directory is followed by a NUL and then a non-empty name.
  const std::size_t nul = buffer.find('\0');
  if (nul != std::string::npos && nul + 1 < buffer.size() && buffer[nul + 1] != '\0') return;
  std::string path = buffer.substr(0, nul);
  const std::size_t slash = path.find_last_of('/');
  std::string directory = slash == std::string::npos ? "" : path.substr(0, slash);
  if (slash == 0) directory = "/";
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  buffer = directory;
  buffer.push_back('\0');
  buffer += name;
  buffer.push_back('\0');
  buffer.push_back('\0');
}

int WFiles(const std::string& buffer, int largest, std::vector<std::string>& names,
           int& available) {
  names.clear();
  available = 0;
  std::size_t at = buffer.find('\0');
  if (at == std::string::npos) return kTrue;
  ++at;
  while (at < buffer.size() && buffer[at] != '\0') {
    const std::size_t end = std::min(buffer.find('\0', at), buffer.size());
    ++available;
    if (static_cast<int>(names.size()) < largest) names.push_back(buffer.substr(at, end - at));
    at = end + 1;
  }
  return available <= largest ? kTrue : kFalse;
}

int LVSelectInFS(const std::string& command, int largest, FileSeries& series, int& status) {
  static constexpr IRoutine kR{"LVSelectInFS", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  std::string buffer;
  // The buffer holds every name chosen: its size is no limit here, the file count is.
  if (!WSelectFile({false, true, "SELECT IMAGE FILES FOR INPUT", kImageFilter, "", kSeriesFolder,
                    kImagesFolder},
                   1 << 30, buffer, status)) {
    return kFalse;
  }
  WNormaliseFileList(buffer);
  const std::string directory = buffer.substr(0, buffer.find('\0'));
  // Every name is sorted before the largest count is applied, so a long selection keeps its
  // first files in natural order whatever order the dialog gave.
  std::vector<std::string> names;
  int available = 0;
  WFiles(buffer, 1 << 30, names, available);
  if (names.empty()) return kFalse;
  ISortStrings(names, status);
  if (static_cast<int>(names.size()) > largest) {
    IWarning(IFormat("%s: %i files were selected; the command takes at most %i: the first %i "
                     "in name order are taken",
                     command.c_str(), available, largest, largest),
             status);
    names.resize(static_cast<std::size_t>(largest));
  }
  series.directory = directory;
  if (!series.directory.empty() && series.directory.back() != '/') series.directory += '/';
  series.names = std::move(names);
  return kTrue;
}

int LVSelectInMaskFile(int bufferSize, std::string& buffer, int& status) {
  return WSelectFile({false, false, "SELECT INPUT FILE CONTAINING DATA MASK",
                      "mask files (msk)|*.msk", "", kMasksFolder},
                     bufferSize, buffer, status);
}

int LVSelectOutMaskFile(int bufferSize, std::string& buffer, int& status) {
  return WSelectFile({true, false, "SELECT OUTPUT FILE TO CONTAIN MASK", "Mask files|*.msk", "msk",
                      kMasksFolder},
                     bufferSize, buffer, status);
}

int LVSelectOutCBF(int bufferSize, std::string& buffer, int& status) {
  return WSelectFile(
      {true, false, "SELECT OUTPUT FILE TO CONTAIN CBF DATA", "", "cbf", kImagesFolder},
      bufferSize, buffer, status);
}

int LVSelectOutChiplot(int bufferSize, std::string& buffer, int& status) {
  return WSelectFile(
      {true, false, "SELECT OUTPUT FILE TO CONTAIN CHIPLOT FORMAT DATA", "", "chi", kScansFolder},
      bufferSize, buffer, status);
}

int LVSelectOutFile(int bufferSize, std::string& buffer, int& status) {
  return WSelectFile({true, false, "SELECT OUTPUT FILE TO CONTAIN DATA", "", "bsl", kDataFolder},
                     bufferSize, buffer, status);
}

int LVSelectOutJPEGFile(int bufferSize, std::string& buffer, int& status) {
  return WSelectFile(
      {true, false, "SELECT OUTPUT FILE TO CONTAIN JPEG IMAGE", "", "jpg", kPicturesFolder},
      bufferSize, buffer, status);
}
