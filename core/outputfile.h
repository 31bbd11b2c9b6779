// A file being written that replaces its target only when every byte reached the disk.
//
// The writers of this system never leave a half-written file under the name the user chose:
// bytes go to a temporary file beside the target (a link is followed, so the file it names
// is replaced), and Publish renames it over the target after a complete, flushed write. A
// target that is not a regular file (a device, a pipe) is written in place. An unpublished
// temporary is removed when the object goes. An existing file the user may not write is
// never replaced: Open fails as opening it for writing would.
#pragma once

#include <sys/stat.h>

#include <cstdio>
#include <string>

// Whether the user may write an existing file (`info` is its stat). For root, whom permissions
// do not stop, only while some write bit of its mode is set.
bool IWritableFile(const std::string& path, const struct stat& info);

class IOutputFile {
 public:
  IOutputFile() = default;
  IOutputFile(const IOutputFile&) = delete;
  IOutputFile& operator=(const IOutputFile&) = delete;
  ~IOutputFile();

  // False when the file cannot be created (no such directory, no permission) or an existing
  // file may not be written.
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
  std::string temporary_;  // empty when writing in place
  bool finished_ = false;
  bool published_ = false;
};
