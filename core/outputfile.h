// A file being written that replaces its target only when every byte reached the disk.
//
// The writers of this system never leave a half-written file under the name the user chose:
// bytes go to a temporary file beside the target, and Publish renames it over the target
// after a complete, flushed write. An unpublished temporary is removed when the object goes.
//
// One rule for what a save may replace, shared by every writer: a regular file the user may
// write, or a new name in an existing folder. A link to a regular file is written through
// (the file it names is replaced, the link stays). Anything else is refused as a file that
// cannot be opened: a device (replacing /dev/full with a regular file would break the
// machine for everyone), a pipe or socket (a pipe nobody reads holds the writer for ever), a
// folder, a link that leads nowhere, and a file the user may not write (made read-only to
// keep it; renaming over it needs only the folder's permission).
#pragma once

#include <sys/stat.h>

#include <cstdio>
#include <string>

// Whether the user may write an existing file (`info` is its stat). For root, whom permissions
// do not stop, only while some write bit of its mode is set.
bool IWritableFile(const std::string& path, const struct stat& info);

// The file a save of `path` replaces, by the rule above: false (errno set) when the name may
// not be written; otherwise `target` is the file to replace (a link's end for a link, the
// name itself for a new file).
bool IOutputTarget(const std::string& path, std::string& target);

// A stream for a file that is written while it is open (the log): the same rule as a save,
// but the file is truncated and written in place. Opened without blocking and checked through
// the descriptor, so that a pipe put under the name between the check and the open is
// refused, never waited on. Null (errno set) when refused or not opened.
std::FILE* IOpenOutputStream(const std::string& path);

class IOutputFile {
 public:
  IOutputFile() = default;
  IOutputFile(const IOutputFile&) = delete;
  IOutputFile& operator=(const IOutputFile&) = delete;
  ~IOutputFile();

  // False when the file cannot be created (no such directory, no permission) or the name may
  // not be written (IOutputTarget).
  bool Open(const std::string& path);
  std::FILE* File() const { return file_; }
  // Flushes, syncs and closes; false when any write so far failed.
  bool Finish();
  // Renames the finished temporary over the target; false on failure (temporary removed).
  bool Publish();
  // Finish and Publish.
  bool Commit() { return Finish() && Publish(); }

 private:
  void Discard();

  std::FILE* file_ = nullptr;
  std::string target_;
  std::string temporary_;
  bool finished_ = false;
  bool published_ = false;
};

// Writes `bytes` as the whole of the file at `path` through IOutputFile (pictures made in
// memory); false when the name is refused or the write failed (the old file is kept).
bool IWriteFileContents(const std::string& path, const std::string& bytes);
