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

bool IOutputTarget(const std::string& path, std::string& target) {
  target = path;
  if (path.empty()) {
    errno = ENOENT;
    return false;
  }
  struct stat link {};
  if (lstat(path.c_str(), &link) != 0) {
    // A new name: whether its folder takes a file is for the creation to tell.
    return errno == ENOENT;
  }
  struct stat info = link;
  if (S_ISLNK(link.st_mode)) {
    // Written through: the file at the link's end is replaced and the link stays. A link
    // that leads nowhere is refused rather than replaced by a file of its own.
    if (stat(path.c_str(), &info) != 0) {
      errno = ENOENT;
      return false;
    }
    char* resolved = realpath(path.c_str(), nullptr);
    if (!resolved) return false;
    target = resolved;
    std::free(resolved);
  }
  if (S_ISDIR(info.st_mode)) {
    errno = EISDIR;
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    errno = EINVAL;
    return false;
  }
  if (!IWritableFile(target, info)) {
    errno = EACCES;
    return false;
  }
  return true;
}

std::FILE* IOpenOutputStream(const std::string& path) {
  std::string target;
  if (!IOutputTarget(path, target)) return nullptr;
  const int descriptor =
      open(target.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
  if (descriptor < 0) return nullptr;
  struct stat info {};
  if (fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(descriptor);
    errno = EINVAL;
    return nullptr;
  }
  const int flags = fcntl(descriptor, F_GETFL);
  if (ftruncate(descriptor, 0) != 0 || flags < 0 ||
      fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    close(descriptor);
    return nullptr;
  }
  std::FILE* file = fdopen(descriptor, "w");
  if (!file) close(descriptor);
  return file;
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
  if (!IOutputTarget(path, target_)) return false;
  std::string temporary = target_ + ".XXXXXX";
  const int descriptor = mkostemp(temporary.data(), O_CLOEXEC);
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
  good = fsync(fileno(file_)) == 0 && good;
  good = std::fclose(file_) == 0 && good;
  file_ = nullptr;
  finished_ = good;
  if (!good) Discard();
  return good;
}

bool IOutputFile::Publish() {
  if (!finished_) return false;
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

bool IWriteFileContents(const std::string& path, const std::string& bytes) {
  IOutputFile out;
  if (!out.Open(path)) return false;
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), out.File()) != bytes.size()) {
    return false;
  }
  return out.Commit();
}
