// File selection: one routine per purpose, each fixing the dialog's title, filter, default
// extension and whether it opens or saves. The buffer holds the proposed name on entry and the
// chosen path on return.
#pragma once

#include <string>
#include <vector>

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
// ---- File series ----------------------------------------------------------------------------
// The dialog's multiple answer is the directory then each name, every string ended by a NUL
// and the list by a second NUL, or for one file its full path alone. WNormaliseFileList turns
// the second form into the first (split at the last '/'; a bare name gets an empty directory).
void WNormaliseFileList(std::string& buffer);
// The names that follow the directory, up to the empty string: at most `largest` of them; false
// when the list held more (they are counted in `available`).
int WFiles(const std::string& buffer, int largest, std::vector<std::string>& names,
           int& available);

// A selection of image files for a series: the folder and the names in it, in natural order
// (INaturalLess: frame_2 before frame_11).
struct FileSeries {
  std::string directory;  // ends with '/' (empty: the current folder)
  std::vector<std::string> names;
  std::string Path(std::size_t i) const { return directory + names[i]; }
};
// The multi-selection dialog "SELECT IMAGE FILES FOR INPUT". At most `largest` files are taken:
// a larger selection keeps the first `largest` in natural order and says how many were taken (a
// warning naming the command). False when the user cancelled.
int LVSelectInFS(const std::string& command, int largest, FileSeries& series, int& status);
int LVSelectInMaskFile(int bufferSize, std::string& buffer, int& status);
int LVSelectOutMaskFile(int bufferSize, std::string& buffer, int& status);
int LVSelectOutCBF(int bufferSize, std::string& buffer, int& status);
int LVSelectOutChiplot(int bufferSize, std::string& buffer, int& status);
int LVSelectOutFile(int bufferSize, std::string& buffer, int& status);
int LVSelectOutJPEGFile(int bufferSize, std::string& buffer, int& status);
