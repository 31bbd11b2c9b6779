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
  // The kind of file: the data-base item that remembers the folder last used for it (one of
  // the k...Folder items below); empty: the dialog opens in the current folder.
  std::string folderItem;
  // The kind whose folder serves while this kind has none yet.
  std::string fallbackFolderItem;
};

// The folders last used, one per kind of file. They are kept in the data-base, so the next
// run starts where this one left off.
inline constexpr const char* kImagesFolder = "Images_Directory";
inline constexpr const char* kSeriesFolder = "Series_Directory";
inline constexpr const char* kMasksFolder = "Masks_Directory";
inline constexpr const char* kPoniFolder = "PONI_Directory";
inline constexpr const char* kDSpacingsFolder = "D_Spacings_Directory";
inline constexpr const char* kScansFolder = "Scans_Directory";
inline constexpr const char* kDataFolder = "Data_Directory";
inline constexpr const char* kPicturesFolder = "Pictures_Directory";

// Remembers the folder of `path` (a relative name counts from the current folder) as the one
// last used for a kind of file.
void WRememberFolder(const std::string& folderItem, const std::string& path);
// The folder remembered for a kind, while it still exists; empty otherwise.
std::string WRememberedFolder(const std::string& folderItem);

// Checks the buffer and shows the dialog; true when the user chose a file. A proposed name
// without a folder is offered in the folder last used for the dialog's kind of file; one with
// a folder (the image's own name with another extension) in that folder. The folder of the
// file chosen becomes the kind's.
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
