#include "ui/LVFileSelect.h"

#include <vector>

#include "core/status.h"
#include "platform/Platform.h"

namespace {

const char* const kImageFilter =
    "Known data format extensions|*.bsl;*.cbf;*.chi;*.edf;*.info;*.image;*.img;*.mar*;"
    "*.mar2000;*.mar3450;*.mccd;*.pck*;*.spe;*.tif|All files|*.*";

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

int WSelectFile(const WFileDialog& dialog, int bufferSize, std::string& buffer, int& status) {
  static constexpr IRoutine kR{"WDefineFileInfo", "V0.3"};
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
  std::string chosen;
  if (!backend.ChooseFile(request, chosen)) return kFalse;  // a cancel gives no message
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
  return WSelectFile({false, false, "SELECT INPUT FILE CONTAINING DATA IMAGE", kImageFilter, ""},
                     bufferSize, buffer, status);
}

int LVSelectDsFile(int bufferSize, std::string& buffer, int& status) {
  return WSelectFile({false, false,
                      "SELECT FILE CONTAINING D-SPACINGSIN ANGSTROMS (Low to high, 1 per line)",
                      "D-Spacings File|*.Ds|All files|*.*", ""},
                     bufferSize, buffer, status);
}

int LVSelectInFS(int bufferSize, std::string& buffer, int& status) {
  return WSelectFile({false, true, "SELECT IMAGE FILES FOR INPUT", kImageFilter, ""}, bufferSize,
                     buffer, status);
}

int LVSelectInMaskFile(int bufferSize, std::string& buffer, int& status) {
  return WSelectFile({false, false, "SELECT INPUT FILE CONTAINING DATA MASK",
                      "mask files (msk)|*.msk", ""},
                     bufferSize, buffer, status);
}

int LVSelectOutMaskFile(int bufferSize, std::string& buffer, int& status) {
  return WSelectFile({true, false, "SELECT OUTPUT FILE TO CONTAIN MASK", "Mask files|*.msk", "msk"},
                     bufferSize, buffer, status);
}

int LVSelectOutCBF(int bufferSize, std::string& buffer, int& status) {
  return WSelectFile({true, false, "SELECT OUTPUT FILE TO CONTAIN CBF DATA", "", "cbf"},
                     bufferSize, buffer, status);
}

int LVSelectOutChiplot(int bufferSize, std::string& buffer, int& status) {
  return WSelectFile({true, false, "SELECT OUTPUT FILE TO CONTAIN CHIPLOT FORMAT DATA", "", "chi"},
                     bufferSize, buffer, status);
}

int LVSelectOutFile(int bufferSize, std::string& buffer, int& status) {
  return WSelectFile({true, false, "SELECT OUTPUT FILE TO CONTAIN DATA", "", "bsl"}, bufferSize,
                     buffer, status);
}

int LVSelectOutJPEGFile(int bufferSize, std::string& buffer, int& status) {
  return WSelectFile({true, false, "SELECT OUTPUT FILE TO CONTAIN JPEG IMAGE", "", "jpg"},
                     bufferSize, buffer, status);
}
