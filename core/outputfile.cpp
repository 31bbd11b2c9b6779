#include "core/outputfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

bool IWritableFile(const std::string& path, const struct stat& info) {
  // Root may write anything, so for root a file is writable only while some write bit is set:
  // a file made read-only for everyone stays as it is.
  if (geteuid() == 0) return (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
  return faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
}

IOutputFile::~IOutputFile() { Discard(); }

void IOutputFile::Discard() {
  if (file_) {
    std::fclose(file_);
    file_ = nullptr;
  }
  if (!temporary_.empty() && !published_) unlink(temporary_.c_str());
  temporary_.clear();
}

bool IOutputFile::Open(const std::string& path) {
  Discard();
  finished_ = published_ = false;
  target_ = path;
  if (char* resolved = realpath(path.c_str(), nullptr)) {
    target_ = resolved;
    std::free(resolved);
  }
  struct stat info {};
  const bool exists = stat(target_.c_str(), &info) == 0;
  // Renaming over a file needs only the folder's permission: a file the user may not write
  // (made read-only to keep it) is refused as opening it for writing would be.
  if (exists && S_ISREG(info.st_mode) && !IWritableFile(target_, info)) {
    errno = EACCES;
    return false;
  }
  if (exists && !S_ISREG(info.st_mode)) {
    file_ = std::fopen(target_.c_str(), "w");
    return file_ != nullptr;
  }
  std::string temporary = target_ + ".XXXXXX";
  const int descriptor = mkstemp(temporary.data());
  if (descriptor < 0) return false;
  file_ = fdopen(descriptor, "w");
  if (!file_) {
    close(descriptor);
    unlink(temporary.c_str());
    return false;
  }
  temporary_ = temporary;
  return true;
}

bool IOutputFile::Finish() {
  if (!file_) return finished_;
  bool good = !std::ferror(file_);
  good = std::fflush(file_) == 0 && good;
  if (!temporary_.empty()) good = fsync(fileno(file_)) == 0 && good;
  good = std::fclose(file_) == 0 && good;
  file_ = nullptr;
  finished_ = good;
  if (!good) Discard();
  return good;
}

bool IOutputFile::Publish() {
  if (!finished_) return false;
  if (temporary_.empty()) return true;  // written in place
  // mkstemp creates 0600: an existing file keeps its mode, a new one gets the usual one.
  struct stat info {};
  mode_t mode = 0;
  if (stat(target_.c_str(), &info) == 0) {
    mode = info.st_mode & 07777;
  } else {
    const mode_t creation = umask(0);
    umask(creation);
    mode = 0666 & ~creation;
  }
  chmod(temporary_.c_str(), mode);
  if (std::rename(temporary_.c_str(), target_.c_str()) != 0) {
    Discard();
    return false;
  }
  published_ = true;
  temporary_.clear();
  errno = 0;
  return true;
}
