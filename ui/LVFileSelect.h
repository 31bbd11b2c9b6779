// File selection: one routine per purpose, each fixing the dialog's title, filter, default
// extension and whether it opens or saves. The buffer holds the proposed name on entry and the
// chosen path on return.
#pragma once

#include <string>

struct WFileDialog {
  bool save = false;
  bool multiple = false;
  std::string title;
  std::string filter;            // description/pattern pairs, "desc|*.a;*.b|desc2|*.*"
  std::string defaultExtension;  // without the dot
};

// Checks the buffer and shows the dialog; true when the user chose a file.
int WSelectFile(const WFileDialog& dialog, int bufferSize, std::string& buffer, int& status);

int LVSelectInFile(int bufferSize, std::string& buffer, int& status);
int LVSelectDsFile(int bufferSize, std::string& buffer, int& status);
int LVSelectInFS(int bufferSize, std::string& buffer, int& status);
int LVSelectInMaskFile(int bufferSize, std::string& buffer, int& status);
int LVSelectOutMaskFile(int bufferSize, std::string& buffer, int& status);
int LVSelectOutCBF(int bufferSize, std::string& buffer, int& status);
int LVSelectOutChiplot(int bufferSize, std::string& buffer, int& status);
int LVSelectOutFile(int bufferSize, std::string& buffer, int& status);
int LVSelectOutJPEGFile(int bufferSize, std::string& buffer, int& status);
