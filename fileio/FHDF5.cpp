// HDF5 / NeXus detector files through the HDF5 C library: the image data-set is
// "/entry/data/data", else the "/entry/data/data_NNNNNN" links of a master file (external
// links followed, their frames in name order), else the NXdata signal or the first 2-D or 3-D
// integer or real data-set of the file. A 3-D data-set holds frames (first index); a 2-D one is
// one frame. Compressed data-sets are decoded by the filters of the HDF5 plugin folder
// (bitshuffle-LZ4, LZ4, ...), which is named to the library when HDF5_PLUGIN_PATH is unset.
//
// Every size the file gives is checked before use: frames held in an int, a frame that the
// data-set's stored bytes can back, one frame allocated at a time.
#include <dlfcn.h>
#include <hdf5.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cctype>
#include <functional>
#include <limits>
#include <type_traits>
#include <atomic>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include "core/cores.h"
#include "core/child.h"
#include "data/Experiment.h"
#include "core/status.h"
#include "fileio/FReaders.h"

namespace {

// ---- Handles --------------------------------------------------------------------------------

// An HDF5 identifier closed on every path out of the routine that opened it.
class Handle {
 public:
  Handle() = default;
  Handle(hid_t id, herr_t (*close)(hid_t)) : id_(id), close_(close) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  Handle(Handle&& other) noexcept : id_(other.id_), close_(other.close_) { other.id_ = -1; }
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      Reset();
      id_ = other.id_;
      close_ = other.close_;
      other.id_ = -1;
    }
    return *this;
  }
  ~Handle() { Reset(); }
  void Reset() {
    if (id_ >= 0 && close_) close_(id_);
    id_ = -1;
  }
  hid_t get() const { return id_; }
  explicit operator bool() const { return id_ >= 0; }

 private:
  hid_t id_ = -1;
  herr_t (*close_)(hid_t) = nullptr;
};

#if defined(__x86_64__)
constexpr const char* kPluginFolder = "/usr/lib/x86_64-linux-gnu/hdf5/serial/plugins";
#elif defined(__aarch64__)
constexpr const char* kPluginFolder = "/usr/lib/aarch64-linux-gnu/hdf5/serial/plugins";
#else
constexpr const char* kPluginFolder = "/usr/lib/hdf5/serial/plugins";
#endif

// Names the plugin folder (when the user named none) before the library first starts, and
// keeps the library from printing its error stack: failures are reported here, in our words.
void StartLibrary() {
  static std::once_flag once;
  std::call_once(once, [] {
    const bool named = std::getenv("HDF5_PLUGIN_PATH") != nullptr;
    struct stat info {};
    const bool present = stat(kPluginFolder, &info) == 0 && S_ISDIR(info.st_mode);
    if (!named && present) setenv("HDF5_PLUGIN_PATH", kPluginFolder, 0);
    H5open();
    // Another part of the program (CBFlib) may have started the library first, before the
    // variable was set: the folder is then added to the search path itself.
    if (!named && present) {
      unsigned int count = 0;
      bool listed = false;
      if (H5PLsize(&count) >= 0) {
        for (unsigned int i = 0; i < count && !listed; ++i) {
          char path[1024] = {};
          if (H5PLget(i, path, sizeof path) > 0) listed = std::strcmp(path, kPluginFolder) == 0;
        }
      }
      if (!listed) H5PLappend(kPluginFolder);
    }
  });
  // The automatic error printing is per thread in a thread-safe library.
  H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
}

// The file that holds an object: its name as the library opened it, and what stat says of it.
struct HoldingFile {
  std::string name;
  struct stat info {};
  std::int64_t length = -1;  // -1: no regular file, or not known
};

HoldingFile FileOf(hid_t object) {
  HoldingFile held;
  Handle file(H5Iget_file_id(object), H5Fclose);
  const ssize_t n = file ? H5Fget_name(file.get(), nullptr, 0) : -1;
  if (n <= 0 || n > 4096) return held;
  std::string name(static_cast<std::size_t>(n) + 1, '\0');
  if (H5Fget_name(file.get(), name.data(), name.size()) != n) return held;
  name.resize(static_cast<std::size_t>(n));
  held.name = name;
  if (stat(name.c_str(), &held.info) == 0 && S_ISREG(held.info.st_mode)) {
    held.length = static_cast<std::int64_t>(held.info.st_size);
  }
  return held;
}

std::string Folder(const std::string& name) {
  const std::size_t slash = name.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : name.substr(0, slash);
}

// Whether every path the library may open for a file named by an external link, external or
// virtual storage is, where it exists, a regular file (and not the holder itself, when
// `notHolder`): the name as written (absolute, or from the working folder), from the holder's
// folder, and from the prefix the environment names ("${ORIGIN}": the holder's folder).
// `length` is the shortest of them, -1 when none exists.
bool RegularSource(const std::string& name, const HoldingFile& holder, const char* variable,
                   bool notHolder, std::int64_t& length) {
  std::vector<std::string> paths{name};
  if (name.empty()) return false;
  if (name[0] != '/') {
    paths.push_back(Folder(holder.name) + "/" + name);
    if (const char* value = std::getenv(variable)) {
      std::string prefix = value;
      const std::string origin = "${ORIGIN}";
      if (prefix.rfind(origin, 0) == 0) prefix = Folder(holder.name) + prefix.substr(origin.size());
      if (!prefix.empty()) paths.push_back(prefix + "/" + name);
    }
  }
  length = -1;
  for (const std::string& path : paths) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) continue;
    if (!S_ISREG(info.st_mode)) return false;
    if (notHolder && info.st_dev == holder.info.st_dev && info.st_ino == holder.info.st_ino) {
      return false;
    }
    const auto size = static_cast<std::int64_t>(info.st_size);
    length = length < 0 ? size : std::min(length, size);
  }
  return true;
}

// The file an external link at `path` names ("" for any other link).
std::string LinkTarget(hid_t file, const std::string& path) {
  H5L_info_t info;
  if (H5Lget_info(file, path.c_str(), &info, H5P_DEFAULT) < 0 || info.type != H5L_TYPE_EXTERNAL ||
      info.u.val_size == 0 || info.u.val_size > 8192) {
    return "";
  }
  std::vector<char> value(info.u.val_size);
  unsigned flags = 0;
  const char* target = nullptr;
  const char* object = nullptr;
  if (H5Lget_val(file, path.c_str(), value.data(), value.size(), H5P_DEFAULT) < 0 ||
      H5Lunpack_elink_val(value.data(), value.size(), &flags, &target, &object) < 0 || !target) {
    return "";
  }
  return std::string(target, strnlen(target, value.size()));
}

// Whether the link at `path` may be followed: an external link's file must be a regular file
// where it exists (the library would open a pipe and wait on it for ever). A missing file is
// let through: the library fails on it, and says so.
bool LinkSafe(hid_t file, const std::string& path) {
  H5L_info_t info;
  if (H5Lget_info(file, path.c_str(), &info, H5P_DEFAULT) < 0) return false;
  if (info.type != H5L_TYPE_EXTERNAL) return true;
  const std::string target = LinkTarget(file, path);
  if (target.empty()) return false;
  std::int64_t length = -1;
  return RegularSource(target, FileOf(file), "HDF5_EXT_PREFIX", false, length);
}

// Whether every component of an absolute path exists as a link (without which H5Lexists on
// the whole path fails rather than answering no).
bool PathExists(hid_t file, const std::string& path) {
  std::size_t from = 1;
  while (from <= path.size()) {
    std::size_t slash = path.find('/', from);
    if (slash == std::string::npos) slash = path.size();
    const std::string link = path.substr(0, slash);
    if (H5Lexists(file, link.c_str(), H5P_DEFAULT) <= 0 || !LinkSafe(file, link)) return false;
    from = slash + 1;
  }
  return true;
}

// ---- Data-sets of pixels ----------------------------------------------------------------------

// How the stored values become reals.
enum class Kind { kNone, kU8, kI8, kU16, kI16, kU32, kI32, kU64, kI64, kF32, kF64 };

Kind KindOf(hid_t type) {
  const H5T_class_t cls = H5Tget_class(type);
  const std::size_t size = H5Tget_size(type);
  if (cls == H5T_INTEGER) {
    const bool sign = H5Tget_sign(type) == H5T_SGN_2;
    switch (size) {
      case 1: return sign ? Kind::kI8 : Kind::kU8;
      case 2: return sign ? Kind::kI16 : Kind::kU16;
      case 4: return sign ? Kind::kI32 : Kind::kU32;
      case 8: return sign ? Kind::kI64 : Kind::kU64;
      default: return Kind::kNone;
    }
  }
  if (cls == H5T_FLOAT) {
    if (size == 4) return Kind::kF32;
    if (size == 8) return Kind::kF64;
  }
  return Kind::kNone;
}

hid_t MemoryType(Kind kind) {
  switch (kind) {
    case Kind::kU8: return H5T_NATIVE_UINT8;
    case Kind::kI8: return H5T_NATIVE_INT8;
    case Kind::kU16: return H5T_NATIVE_UINT16;
    case Kind::kI16: return H5T_NATIVE_INT16;
    case Kind::kU32: return H5T_NATIVE_UINT32;
    case Kind::kI32: return H5T_NATIVE_INT32;
    case Kind::kU64: return H5T_NATIVE_UINT64;
    case Kind::kI64: return H5T_NATIVE_INT64;
    case Kind::kF32: return H5T_NATIVE_FLOAT;
    case Kind::kF64: return H5T_NATIVE_DOUBLE;
    case Kind::kNone: break;
  }
  return -1;
}

int SizeOf(Kind kind) {
  switch (kind) {
    case Kind::kU8: case Kind::kI8: return 1;
    case Kind::kU16: case Kind::kI16: return 2;
    case Kind::kU32: case Kind::kI32: case Kind::kF32: return 4;
    case Kind::kU64: case Kind::kI64: case Kind::kF64: return 8;
    case Kind::kNone: break;
  }
  return 0;
}

int ElementTypeOf(Kind kind) {
  switch (kind) {
    case Kind::kU8: return kElementUI1;
    case Kind::kU16: return kElementUI2;
    case Kind::kI16: return kElementI2;
    case Kind::kU32: return kElementUI4;
    case Kind::kI32: return kElementI4;
    case Kind::kF32: return kElementR4;
    default: return -1;
  }
}

// One data-set of frames: its path, kind, frames and frame size as the file declares them.
struct Part {
  std::string path;
  Kind kind = Kind::kNone;
  std::int64_t frames = 0;
  std::int64_t rows = 0, columns = 0;
};

// The shape of a data-set when it can hold images: 2-D or 3-D, integer or real.
bool Describe(hid_t dataset, const std::string& path, Part& part) {
  Handle type(H5Dget_type(dataset), H5Tclose);
  Handle space(H5Dget_space(dataset), H5Sclose);
  if (!type || !space) return false;
  const Kind kind = KindOf(type.get());
  if (kind == Kind::kNone) return false;
  const int rank = H5Sget_simple_extent_ndims(space.get());
  if (rank != 2 && rank != 3) return false;
  hsize_t dims[3] = {1, 1, 1};
  if (H5Sget_simple_extent_dims(space.get(), dims, nullptr) != rank) return false;
  part.path = path;
  part.kind = kind;
  part.frames = rank == 3 ? static_cast<std::int64_t>(std::min<hsize_t>(dims[0], INT64_MAX)) : 1;
  part.rows = static_cast<std::int64_t>(std::min<hsize_t>(dims[rank - 2], INT64_MAX));
  part.columns = static_cast<std::int64_t>(std::min<hsize_t>(dims[rank - 1], INT64_MAX));
  return true;
}

// The data-set at `path` when it exists and can hold images.
bool DescribePath(hid_t file, const std::string& path, Part& part) {
  if (!PathExists(file, path)) return false;
  H5O_info_t info;
  if (H5Oget_info_by_name(file, path.c_str(), &info, H5P_DEFAULT) < 0 ||
      info.type != H5O_TYPE_DATASET) {
    return false;
  }
  Handle dataset(H5Dopen2(file, path.c_str(), H5P_DEFAULT), H5Dclose);
  return dataset && Describe(dataset.get(), path, part);
}

// The link names of a group in name order (at most `limit`).
std::vector<std::string> LinkNames(hid_t file, const std::string& group, std::size_t limit) {
  std::vector<std::string> names;
  Handle g(H5Gopen2(file, group.c_str(), H5P_DEFAULT), H5Gclose);
  if (!g) return names;
  struct Gather {
    std::vector<std::string>* names;
    std::size_t limit;
  } gather{&names, limit};
  hsize_t index = 0;
  H5Literate(
      g.get(), H5_INDEX_NAME, H5_ITER_INC, &index,
      [](hid_t, const char* name, const H5L_info_t*, void* data) -> herr_t {
        auto* gather = static_cast<Gather*>(data);
        gather->names->emplace_back(name);
        return gather->names->size() >= gather->limit ? 1 : 0;
      },
      &gather);
  return names;
}

// A string attribute of an object (fixed or variable length), empty when absent.
std::string StringAttribute(hid_t object, const char* name) {
  if (H5Aexists(object, name) <= 0) return {};
  Handle attribute(H5Aopen(object, name, H5P_DEFAULT), H5Aclose);
  if (!attribute) return {};
  Handle type(H5Aget_type(attribute.get()), H5Tclose);
  Handle space(H5Aget_space(attribute.get()), H5Sclose);
  if (!type || !space || H5Tget_class(type.get()) != H5T_STRING ||
      H5Sget_simple_extent_npoints(space.get()) != 1) {
    return {};
  }
  std::string text;
  if (H5Tis_variable_str(type.get()) > 0) {
    Handle memory(H5Tcopy(H5T_C_S1), H5Tclose);
    H5Tset_size(memory.get(), H5T_VARIABLE);
    char* value = nullptr;
    if (H5Aread(attribute.get(), memory.get(), &value) >= 0 && value) {
      text.assign(value, strnlen(value, 1024));
      H5free_memory(value);
    }
  } else {
    const std::size_t size = H5Tget_size(type.get());
    if (size == 0 || size > 1024) return {};
    Handle memory(H5Tcopy(H5T_C_S1), H5Tclose);
    H5Tset_size(memory.get(), size + 1);
    std::string buffer(size + 1, '\0');
    if (H5Aread(attribute.get(), memory.get(), buffer.data()) >= 0) {
      text.assign(buffer.c_str(), strnlen(buffer.c_str(), size));
    }
  }
  return text;
}

// Tables a detector's instrument group holds beside its frames (count-rate corrections, flat
// fields, pixel masks, spectra): never an image to show in place of missing frames.
bool InstrumentTable(const std::string& name) {
  std::string lower;
  for (char c : name) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const char* word : {"countrate", "count_rate", "flatfield", "flat_field", "pixel_mask",
                           "mask", "spectrum", "spectra", "lookup", "table"}) {
    if (lower.find(word) != std::string::npos) return true;
  }
  return false;
}

// Every data-set that can hold images (2-D or 3-D, integer or real, no instrument table), in
// the order of a depth-first search: in each group the NXdata signal first, then the members in
// name order. An object met again through a soft link is passed over, so each appears once, at
// the path met first. Depth, the links visited and the stacks gathered are bounded, so linked
// loops end.
struct Search {
  hid_t file;
  int visits = 0;
  std::vector<Part> found;
  std::vector<std::pair<unsigned long, haddr_t>> objects;  // file number and address of each
};

constexpr std::size_t kMostStacks = 256;

void SearchGroup(Search& search, const std::string& group, int depth) {
  if (depth > 8 || search.found.size() >= kMostStacks) return;
  const std::vector<std::string> names = LinkNames(search.file, group, 4096);
  std::vector<std::string> order;
  {
    Handle g(H5Gopen2(search.file, group.c_str(), H5P_DEFAULT), H5Gclose);
    if (!g) return;
    const std::string signal = StringAttribute(g.get(), "signal");
    if (!signal.empty() && std::find(names.begin(), names.end(), signal) != names.end()) {
      order.push_back(signal);
    }
  }
  order.insert(order.end(), names.begin(), names.end());
  const std::string prefix = group == "/" ? "/" : group + "/";
  for (const std::string& name : order) {
    if (++search.visits > 20000 || search.found.size() >= kMostStacks) return;
    const std::string path = prefix + name;
    H5O_info_t info;
    // An external link to a missing file fails here and is passed over.
    if (!LinkSafe(search.file, path) ||
        H5Oget_info_by_name(search.file, path.c_str(), &info, H5P_DEFAULT) < 0) {
      continue;
    }
    if (info.type == H5O_TYPE_DATASET) {
      const std::pair<unsigned long, haddr_t> object{info.fileno, info.addr};
      if (InstrumentTable(name) ||
          std::find(search.objects.begin(), search.objects.end(), object) !=
              search.objects.end()) {
        continue;
      }
      Part part;
      if (DescribePath(search.file, path, part)) {
        search.objects.push_back(object);
        search.found.push_back(part);
      }
    } else if (info.type == H5O_TYPE_GROUP) {
      SearchGroup(search, path, depth + 1);
    }
  }
}

// The image stacks a file offers: the NeXus frames ("/entry/data/data", or a master's links,
// as one), else every data-set the search finds.
bool NeXusFrames(hid_t file) {
  Part part;
  return DescribePath(file, "/entry/data/data", part) || PathExists(file, "/entry/data");
}

// The first source file of a virtual data-set that is not there (empty when every one is, or
// the data-set is not virtual). Patterns ("%b") are left to the storage check, which refuses
// them.
std::string MissingVirtualSource(hid_t file, const Part& part) {
  Handle dataset(H5Dopen2(file, part.path.c_str(), H5P_DEFAULT), H5Dclose);
  Handle plist(dataset ? H5Dget_create_plist(dataset.get()) : -1, H5Pclose);
  if (!plist || H5Pget_layout(plist.get()) != H5D_VIRTUAL) return {};
  std::size_t count = 0;
  if (H5Pget_virtual_count(plist.get(), &count) < 0 || count > 4096) return {};
  const HoldingFile holder = FileOf(dataset.get());
  for (std::size_t i = 0; i < count; ++i) {
    const ssize_t n = H5Pget_virtual_filename(plist.get(), i, nullptr, 0);
    if (n <= 0 || n >= 4096) continue;
    std::string name(static_cast<std::size_t>(n) + 1, '\0');
    H5Pget_virtual_filename(plist.get(), i, name.data(), name.size());
    name.resize(static_cast<std::size_t>(n));
    if (name == "." || name.find('%') != std::string::npos) continue;
    std::int64_t length = -1;
    if (RegularSource(name, holder, "HDF5_VDS_PREFIX", true, length) && length < 0) return name;
  }
  return {};
}

// The image data-sets of a file, their frames to be taken in turn.
struct Source {
  std::vector<Part> parts;
  std::int64_t frames = 0;
  int columns = 0, rows = 0;
  Kind kind = Kind::kNone;
};

// Locates image stack `dataset` (from 1) of the file: the NeXus frames are the only one.
int Locate(const char* routine, hid_t file, const std::string& fileName, int dataset,
           Source& source, int& status) {
  Part part;
  std::string missing;  // the first data file a master's link names that is not there
  if (DescribePath(file, "/entry/data/data", part)) {
    source.parts.push_back(part);
  } else if (PathExists(file, "/entry/data")) {
    // A master file: data_000001, data_000002, ... each an external link to a file of frames.
    for (const std::string& name : LinkNames(file, "/entry/data", 100000)) {
      if (name.rfind("data_", 0) != 0) continue;
      Part linked;
      if (DescribePath(file, "/entry/data/" + name, linked)) {
        source.parts.push_back(linked);
      } else {
        if (missing.empty()) missing = LinkTarget(file, "/entry/data/" + name);
        IWarning(IFormat("%s: The data-set /entry/data/%s cannot be opened (a missing data "
                         "file?): %s",
                         routine, name.c_str(), fileName.c_str()),
                 status);
      }
    }
  }
  if (source.parts.empty() && !missing.empty()) {
    // Never another data-set of the master (its count-rate table) in place of the frames.
    IWarning(IFormat("%s: The frames are in %s, which is not there: %s", routine,
                     missing.c_str(), fileName.c_str()),
             status);
    return kFalse;
  }
  std::size_t stacks = source.parts.empty() ? 0 : 1;
  if (source.parts.empty()) {
    Search search{file};
    SearchGroup(search, "/", 0);
    stacks = search.found.size();
    if (dataset >= 1 && static_cast<std::size_t>(dataset) <= stacks) {
      source.parts.push_back(search.found[static_cast<std::size_t>(dataset - 1)]);
    }
  }
  if (stacks == 0) {
    IWarning(IFormat("%s: The file holds no 2-D or 3-D integer or real data-set: %s", routine,
                     fileName.c_str()),
             status);
    return kFalse;
  }
  if (dataset < 1 || static_cast<std::size_t>(dataset) > stacks) {
    IWarning(IFormat("%s: Image data-set %i does not exist: the file holds %zu: %s", routine,
                     dataset, stacks, fileName.c_str()),
             status);
    return kFalse;
  }
  // A virtual data-set whose frames lie in files that are not there would read as a blank
  // image (the library fills what it cannot find): it is refused, naming the file.
  for (const Part& p : source.parts) {
    const std::string gone = MissingVirtualSource(file, p);
    if (!gone.empty()) {
      IWarning(IFormat("%s: The frames are in %s, which is not there: %s", routine, gone.c_str(),
                       fileName.c_str()),
               status);
      return kFalse;
    }
  }
  const Part& first = source.parts.front();
  for (const Part& p : source.parts) {
    if (p.columns != first.columns || p.rows != first.rows) {
      IWarning(IFormat("%s: The data-set %s holds frames of %lld * %lld pixels, %s of %lld * "
                       "%lld",
                       routine, p.path.c_str(), static_cast<long long>(p.columns),
                       static_cast<long long>(p.rows), first.path.c_str(),
                       static_cast<long long>(first.columns), static_cast<long long>(first.rows)),
               status);
      return kFalse;
    }
    source.frames += p.frames;
    if (p.frames < 0 || source.frames > INT_MAX) {
      IWarning(IFormat("%s: The file claims %lld frames or more, beyond the %i that can be "
                       "chosen: %s",
                       routine, static_cast<long long>(source.frames), INT_MAX,
                       fileName.c_str()),
               status);
      return kFalse;
    }
  }
  if (source.frames < 1 || first.columns > INT_MAX || first.rows > INT_MAX) {
    IWarning(IFormat("%s: Impossible image description: %lld frames of %lld * %lld pixels", routine,
                     static_cast<long long>(source.frames), static_cast<long long>(first.columns),
                     static_cast<long long>(first.rows)),
             status);
    return kFalse;
  }
  source.columns = static_cast<int>(first.columns);
  source.rows = static_cast<int>(first.rows);
  source.kind = first.kind;
  return FCheckImageSize(routine, source.columns, source.rows, SizeOf(first.kind), 0, -1,
                         status);
}

// The first external link of a file whose target file is not a plain name (a link to
// "../../etc/x.h5" or "/data/other.h5"); empty when every one is plain. A master file's data
// files lie beside it: the file names them, it does not point anywhere else. Links are only
// listed here, never followed.
struct ExternalLinks {
  std::string refused;
  std::int64_t visits = 0;
};

herr_t CheckExternalLink(hid_t group, const char* name, const H5L_info_t* info, void* data) {
  auto& links = *static_cast<ExternalLinks*>(data);
  if (++links.visits > 1000000) return 1;  // enough: no file of frames has that many
  if (info->type != H5L_TYPE_EXTERNAL) return 0;
  const std::string file = LinkTarget(group, name);
  if (file.empty()) {
    links.refused = name;
    return 1;
  }
  if (file == "." || file == ".." ||
      file.find_first_of("/\\") != std::string::npos) {
    links.refused = file;
    return 1;
  }
  return 0;
}

// An open file: regular files only (a device or pipe is refused as the other readers refuse
// it), opened read-only.
int OpenFile(const char* routine, const std::string& fileName, Handle& file, int& status) {
  bool refused = false;
  std::FILE* probe = FOpenInputFile(routine, fileName, "rb", refused, status);
  if (refused) return kFalse;
  if (!probe) {
    IWarning(IFormat("%s: The file cannot be opened: %s", routine, fileName.c_str()), status);
    return kFalse;
  }
  std::fclose(probe);
  StartLibrary();
  file = Handle(H5Fopen(fileName.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT), H5Fclose);
  if (!file) {
    IWarning(IFormat("%s: The HDF5 library cannot open the file: %s", routine, fileName.c_str()),
             status);
    return kFalse;
  }
  ExternalLinks links;
  H5Lvisit(file.get(), H5_INDEX_NAME, H5_ITER_NATIVE, CheckExternalLink, &links);
  if (!links.refused.empty()) {
    IWarning(IFormat("%s: The file links to data in \"%s\": only a plain file name beside it "
                     "is read: %s",
                     routine, links.refused.c_str(), fileName.c_str()),
             status);
    file = Handle();
    return kFalse;
  }
  return kTrue;
}

// ---- Conversion -------------------------------------------------------------------------------

template <class T>
inline T Load(const unsigned char* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Converts n stored values (native order) to reals in blocks of 64, counting the overflow
// value (the type's largest integer, which detectors write for saturated and dead pixels).
// In place when the stored elements are 4 bytes wide (source and target the same bytes).
template <class T>
std::int64_t Convert(const unsigned char* source, float* target, std::int64_t n) {
  constexpr bool kInteger = std::is_integral_v<T>;
  constexpr T kOverflow = kInteger ? std::numeric_limits<T>::max() : T{};
  std::int64_t overflows = 0;
  constexpr int kBlock = 64;
  T in[kBlock];
  float out[kBlock];
  std::int64_t i = 0;
  for (; i + kBlock <= n; i += kBlock) {
    std::memcpy(in, source + i * sizeof(T), sizeof in);
    int count = 0;
    for (int k = 0; k < kBlock; ++k) {
      if constexpr (kInteger) count += in[k] == kOverflow;
      out[k] = static_cast<float>(in[k]);
    }
    overflows += count;
    std::memcpy(target + i, out, sizeof out);
  }
  for (; i < n; ++i) {
    const T v = Load<T>(source + i * sizeof(T));
    if constexpr (kInteger) overflows += v == kOverflow;
    target[i] = static_cast<float>(v);
  }
  return overflows;
}

// Converts n values narrower than a real, stored at the start of `data`, to reals in place.
// From the last one down: real i covers the bytes of values 4i/sizeof(T) and above, all of them
// converted before it is written but value i itself, which is read first.
template <class T>
std::int64_t ConvertNarrow(float* data, std::int64_t n) {
  static_assert(sizeof(T) < sizeof(float));
  constexpr T kOverflow = std::numeric_limits<T>::max();
  auto* bytes = reinterpret_cast<unsigned char*>(data);
  std::int64_t overflows = 0;
  for (std::int64_t i = n - 1; i >= 0; --i) {
    const T v = Load<T>(bytes + i * static_cast<std::int64_t>(sizeof(T)));
    overflows += v == kOverflow;
    const auto real = static_cast<float>(v);
    std::memcpy(bytes + i * static_cast<std::int64_t>(sizeof(float)), &real, sizeof real);
  }
  return overflows;
}

// Sets the whole mask: 1 where the value is the overflow value, 0 elsewhere.
template <class T>
void MarkOverflows(const float* data, unsigned char* mask, std::int64_t n) {
  const float overflow = static_cast<float>(std::numeric_limits<T>::max());
  for (std::int64_t i = 0; i < n; ++i) mask[i] = data[i] == overflow;
}

// ---- Bitshuffle-LZ4 chunks read directly ------------------------------------------------------
// A frame that is one bitshuffle-LZ4 chunk (how Eiger-type detectors write) is read as the raw
// chunk and decoded straight into the image by the plugin's own decoder, found in the plugin
// library: the library's filter path would decode into a buffer of its own and copy it over.
// The chunk's block structure is checked against its length first; anything unexpected takes
// the library's path.

constexpr unsigned kBitshuffleFilter = 32008;
constexpr unsigned kBitshuffleLZ4 = 2;

using Decompress = std::int64_t (*)(const void*, void*, std::size_t, std::size_t, std::size_t);
using Unshuffle = std::int64_t (*)(const void*, void*, std::size_t, std::size_t, std::size_t);
using LZ4Decompress = int (*)(const char*, char*, int, int);

// The plugin's decoders: the whole stream (bshuf_decompress_lz4), and the two steps of one
// block (LZ4_decompress_safe of the LZ4 library it links, bshuf_bitunshuffle), with which the
// blocks of a frame are decoded on several threads.
struct Decoders {
  Decompress whole = nullptr;
  LZ4Decompress lz4 = nullptr;
  Unshuffle unshuffle = nullptr;
};

const Decoders& BitshuffleDecoders() {
  static const Decoders decoders = [] {
    Decoders found;
    std::vector<std::string> folders;
    if (const char* path = std::getenv("HDF5_PLUGIN_PATH")) {
      std::string all = path, folder;
      for (char c : all + ":") {
        if (c == ':') {
          if (!folder.empty()) folders.push_back(folder);
          folder.clear();
        } else {
          folder.push_back(c);
        }
      }
    }
    folders.emplace_back(kPluginFolder);
    for (const std::string& folder : folders) {
      void* library = dlopen((folder + "/libh5bshuf.so").c_str(), RTLD_NOW | RTLD_LOCAL);
      if (!library) continue;
      found.whole = reinterpret_cast<Decompress>(dlsym(library, "bshuf_decompress_lz4"));
      if (!found.whole) continue;
      // dlsym on the plugin's handle also searches the libraries it depends on.
      found.lz4 = reinterpret_cast<LZ4Decompress>(dlsym(library, "LZ4_decompress_safe"));
      found.unshuffle = reinterpret_cast<Unshuffle>(dlsym(library, "bshuf_bitunshuffle"));
      break;
    }
    return found;
  }();
  return decoders;
}

std::uint64_t BigEndian(const unsigned char* p, int bytes) {
  std::uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = (v << 8) | p[i];
  return v;
}

// One compressed block of a bitshuffle-LZ4 stream.
struct Block {
  std::int64_t at = 0;        // its LZ4 bytes in the stream
  std::int64_t bytes = 0;     // how many
  std::int64_t elements = 0;  // elements it decodes to
};

// The blocks of a bitshuffle-LZ4 stream of `length` bytes (after the 12-byte header) that
// `elements` elements of `size` bytes in blocks of `block` elements need, each lying inside
// the stream; false when they do not. The last elements % 8 are stored raw after them.
bool BlocksFit(const unsigned char* stream, std::int64_t length, std::int64_t elements,
               std::int64_t size, std::int64_t block, std::vector<Block>& blocks,
               std::int64_t& tailAt) {
  std::int64_t at = 0;
  auto compressedBlock = [&](std::int64_t count) {
    if (at + 4 > length) return false;
    const auto n = static_cast<std::int64_t>(BigEndian(stream + at, 4));
    at += 4;
    if (n > length - at || n > INT32_MAX) return false;
    blocks.push_back({at, n, count});
    at += n;
    return true;
  };
  blocks.clear();
  blocks.reserve(static_cast<std::size_t>(elements / block + 1));
  for (std::int64_t k = 0; k < elements / block; ++k) {
    if (!compressedBlock(block)) return false;
  }
  const std::int64_t left = elements % block;
  if (left - left % 8 > 0 && !compressedBlock(left - left % 8)) return false;
  tailAt = at;
  return length - at >= (left % 8) * size;
}

// Decodes the blocks into `target` on up to eight threads; the raw tail is copied. False when
// a block does not decode to its size.
bool DecodeBlocks(const Decoders& decoders, const unsigned char* stream,
                  const std::vector<Block>& blocks, std::int64_t elements, std::int64_t size,
                  std::int64_t tailAt, unsigned char* target) {
  std::int64_t largest = 0;
  for (const Block& b : blocks) largest = std::max(largest, b.elements);
  const std::int64_t blockBytes = largest * size;
  if (blockBytes > INT32_MAX) return false;
  std::atomic<std::size_t> next{0};
  std::atomic<bool> sound{true};
  // Blocks before block k hold k full blocks' elements (only the last may be shorter).
  const std::int64_t first = blocks.empty() ? 0 : blocks.front().elements;
  auto work = [&] {
    std::vector<char> scratch;
    try {
      scratch.resize(static_cast<std::size_t>(blockBytes));
    } catch (...) {
      sound = false;  // nothing may leave a thread's function
      return;
    }
    for (std::size_t k = next++; k < blocks.size() && sound; k = next++) {
      const Block& b = blocks[k];
      const auto want = static_cast<int>(b.elements * size);
      if (decoders.lz4(reinterpret_cast<const char*>(stream + b.at), scratch.data(),
                       static_cast<int>(b.bytes), want) != want ||
          decoders.unshuffle(scratch.data(),
                             target + static_cast<std::int64_t>(k) * first * size,
                             static_cast<std::size_t>(b.elements), static_cast<std::size_t>(size),
                             static_cast<std::size_t>(b.elements)) < 0) {
        sound = false;
      }
    }
  };
  const unsigned cores = ICoresAvailable();
  const auto helpers = static_cast<unsigned>(
      std::min<std::size_t>({cores, 8u, blocks.size() / 64 + 1}) - 1);
  std::vector<std::thread> threads;
  try {
    for (unsigned i = 0; i < helpers; ++i) threads.emplace_back(work);
  } catch (...) {
    // Fewer helpers than asked for: this thread does the rest.
  }
  work();
  for (std::thread& t : threads) t.join();
  const std::int64_t tail = (elements % 8) * size;
  if (tail > 0) {
    std::memcpy(target + elements * size - tail, stream + tailAt, static_cast<std::size_t>(tail));
  }
  return sound;
}

enum class Direct { kOtherKind, kRead, kDamaged };

// Reads frame `frame` of a bitshuffle-LZ4 data-set of one frame per chunk into `target`
// (elements of the stored type, native order). kOtherKind when the data-set is not of that
// kind (the library's path reads it); kDamaged when its chunk does not hold the blocks it
// declares: the plugin trusts the block lengths, so such a chunk is not handed to it either.
Direct ReadBitshuffleChunk(hid_t dataset, hid_t fileType, const Part& part, int rank,
                         std::int64_t frame, unsigned char* target) {
  Handle plist(H5Dget_create_plist(dataset), H5Pclose);
  if (!plist || H5Pget_layout(plist.get()) != H5D_CHUNKED || H5Pget_nfilters(plist.get()) != 1) {
    return Direct::kOtherKind;
  }
  unsigned flags = 0, values[8] = {};
  std::size_t count = 8;
  char name[64];
  unsigned config = 0;
  if (H5Pget_filter2(plist.get(), 0, &flags, &count, values, sizeof name, name, &config) !=
          static_cast<H5Z_filter_t>(kBitshuffleFilter) ||
      count < 5 || values[4] != kBitshuffleLZ4) {
    return Direct::kOtherKind;
  }
  hsize_t chunk[3] = {0, 0, 0};
  if (H5Pget_chunk(plist.get(), rank, chunk) != rank) return Direct::kOtherKind;
  const hsize_t* plane = rank == 3 ? chunk + 1 : chunk;
  if ((rank == 3 && chunk[0] != 1) || plane[0] != static_cast<hsize_t>(part.rows) ||
      plane[1] != static_cast<hsize_t>(part.columns)) {
    return Direct::kOtherKind;
  }
  // Stored in this machine's order, so that the decoded bytes are the values.
  if (H5Tequal(fileType, MemoryType(part.kind)) <= 0) return Direct::kOtherKind;
  const Decoders& decoders = BitshuffleDecoders();
  if (!decoders.lz4 || !decoders.unshuffle) return Direct::kOtherKind;

  const hsize_t offset[3] = {static_cast<hsize_t>(frame), 0, 0};
  hsize_t stored = 0;
  if (H5Dget_chunk_storage_size(dataset, offset, &stored) < 0) return Direct::kOtherKind;
  const std::int64_t size = SizeOf(part.kind);
  const std::int64_t elements = part.columns * part.rows;
  // LZ4 cannot expand data by more than a small fraction.
  if (stored < 12 || static_cast<std::int64_t>(stored) > elements * size + elements / 8 + 65536) {
    return Direct::kDamaged;
  }
  std::vector<unsigned char> raw;
  try {
    raw.resize(static_cast<std::size_t>(stored));
  } catch (...) {
    return Direct::kOtherKind;
  }
  std::uint32_t skipped = 0;
  if (H5Dread_chunk(dataset, H5P_DEFAULT, offset, &skipped, raw.data()) < 0 || skipped != 0) {
    return Direct::kOtherKind;
  }
  const auto bytes = static_cast<std::int64_t>(BigEndian(raw.data(), 8));
  const auto blockBytes = static_cast<std::int64_t>(BigEndian(raw.data() + 8, 4));
  if (bytes != elements * size || blockBytes <= 0 || blockBytes % (8 * size) != 0) {
    return Direct::kDamaged;
  }
  const std::int64_t block = blockBytes / size;
  std::vector<Block> blocks;
  std::int64_t tailAt = 0;
  const std::int64_t length = static_cast<std::int64_t>(stored) - 12;
  if (!BlocksFit(raw.data() + 12, length, elements, size, block, blocks, tailAt)) {
    return Direct::kDamaged;
  }
  return DecodeBlocks(decoders, raw.data() + 12, blocks, elements, size, tailAt, target)
             ? Direct::kRead
             : Direct::kDamaged;
}

// ---- Storage checked before the library reads a frame -----------------------------------------
// The library copies out of a chunk, a compact data-set or an external file as many bytes as the
// data-space says, whatever the file holds: a chunk stored shorter than the chunk (raw, or a
// deflate stream that inflates to less), a chunk whose filter mask claims filters it never
// passed, or a compact data-set whose data-space was enlarged, each read past its buffer or put
// heap bytes into the frame. The LZ4 (32004) and bitshuffle (32008) plugins also take the sizes
// written in a chunk on trust (LZ4_decompress_fast reads as far as the stream tells it). So,
// before the frame is allocated, every layout is held against the bytes the file really has
// (StorageSound), and before the library decodes, every chunk of the frame is decoded here,
// bounded by the chunk (ChunkContentsSound): deflate, LZ4 and bitshuffle exactly, shuffle and
// Fletcher-32 by their sizes. Filters whose output cannot be foretold here (szip, n-bit,
// scale-offset, bzip2, LZF) and virtual data-sets have their frame read first by a child
// process. Data-sets with other filters are refused: a plugin not known here cannot be vouched
// for.

constexpr unsigned kLZ4Filter = 32004;

// Chunks per frame: a frame of a million one-pixel chunks costs the library gigabytes of
// bookkeeping and half a minute; real files have a few chunks per frame at most.
constexpr std::int64_t kMostChunksPerFrame = 65536;
// A chunk holds at most the frame and this much more: a chunk is decoded whole, so a tiny frame
// in a huge chunk would cost the chunk's memory.
constexpr std::int64_t kChunkAllowance = std::int64_t{32} << 20;

// What one filter does to the size of a chunk on its way to the file.
enum class Stage {
  kSame,             // shuffle: as many bytes out as in
  kBitshufflePlain,  // the same, in whole elements
  kChecksum,         // Fletcher-32: four bytes added at the end
  kDeflate,          // compressors decoded here
  kLZ4,
  kBitshuffleLZ4,
  kOpaque,           // szip, n-bit, scale-offset, bzip2, LZF: bounded by the library itself
};

struct Filters {
  std::vector<Stage> stages;  // in the order of writing
  std::int64_t bitshuffleElement = 0;
  bool opaque = false;        // a stage whose output size cannot be told here
  int checksums = 0;
};

// The data-set's filters, each known; a warning says which is not.
int ReadFilters(const char* routine, hid_t plist, const Part& part, Filters& filters,
                int& status) {
  const int count = H5Pget_nfilters(plist);
  if (count < 0 || count > 32) {
    IWarning(IFormat("%s: The data-set %s has a list of filters that cannot be read", routine,
                     part.path.c_str()),
             status);
    return kFalse;
  }
  for (int i = 0; i < count; ++i) {
    unsigned flags = 0, values[8] = {};
    std::size_t n = 8;
    char name[64];
    unsigned config = 0;
    const H5Z_filter_t id = H5Pget_filter2(plist, static_cast<unsigned>(i), &flags, &n, values,
                                           sizeof name, name, &config);
    Stage stage = Stage::kOpaque;
    switch (id) {
      case H5Z_FILTER_SHUFFLE: stage = Stage::kSame; break;
      case H5Z_FILTER_FLETCHER32: stage = Stage::kChecksum; break;
      case H5Z_FILTER_DEFLATE: stage = Stage::kDeflate; break;
      case H5Z_FILTER_SZIP:
      case H5Z_FILTER_NBIT:
      case H5Z_FILTER_SCALEOFFSET:
      case 307:    // bzip2
      case 32000:  // LZF
        stage = Stage::kOpaque;
        break;
      case kLZ4Filter: stage = Stage::kLZ4; break;
      case kBitshuffleFilter: {
        const unsigned compression = n >= 5 ? values[4] : 0;
        if (n < 3 || (compression != 0 && compression != kBitshuffleLZ4)) {
          IWarning(IFormat("%s: The data-set %s is bitshuffled with compression %u, which is "
                           "not read here",
                           routine, part.path.c_str(), compression),
                   status);
          return kFalse;
        }
        stage = compression == 0 ? Stage::kBitshufflePlain : Stage::kBitshuffleLZ4;
        filters.bitshuffleElement = values[2];
        if (values[2] == 0 || values[2] > 64) {
          IWarning(IFormat("%s: The data-set %s is bitshuffled in elements of %u bytes", routine,
                           part.path.c_str(), values[2]),
                   status);
          return kFalse;
        }
        break;
      }
      default:
        IWarning(IFormat("%s: The data-set %s is compressed with filter %d, which is not read "
                         "here (deflate, szip, bzip2, LZF, LZ4 and bitshuffle-LZ4 are)",
                         routine, part.path.c_str(), static_cast<int>(id)),
                 status);
        return kFalse;
    }
    filters.opaque = filters.opaque || stage == Stage::kOpaque;
    filters.checksums += stage == Stage::kChecksum;
    filters.stages.push_back(stage);
  }
  return kTrue;
}

// A chunk of the LZ4 plugin: the decoded size (8 bytes, big-endian), the block size (4), then
// per block its stored size (4) and its bytes, stored plain when that size is the block's.
bool LZ4ChunkSound(const unsigned char* raw, std::int64_t stored, std::int64_t chunkBytes,
                   LZ4Decompress lz4, std::vector<char>& scratch) {
  if (stored < 12 || static_cast<std::int64_t>(BigEndian(raw, 8)) != chunkBytes) return false;
  std::int64_t block = static_cast<std::int64_t>(BigEndian(raw + 8, 4));
  if (block <= 0) return false;  // the plugin would loop for ever
  block = std::min(block, chunkBytes);
  std::int64_t at = 12, done = 0;
  while (done < chunkBytes) {
    const std::int64_t want = std::min(block, chunkBytes - done);
    if (stored - at < 4) return false;
    const auto n = static_cast<std::int64_t>(BigEndian(raw + at, 4));
    at += 4;
    if (n > stored - at) return false;
    if (n != want) {
      if (want > INT32_MAX || n > INT32_MAX) return false;
      scratch.resize(static_cast<std::size_t>(want));
      if (lz4(reinterpret_cast<const char*>(raw + at), scratch.data(), static_cast<int>(n),
              static_cast<int>(want)) != want) {
        return false;
      }
    }
    at += n;
    done += want;
  }
  return true;
}

// A chunk of the bitshuffle plugin with LZ4: the decoded size (8 bytes, big-endian), the block
// size in bytes (4), the blocks, then the last elements % 8 raw. `elementSize` is the one the
// plugin takes (its third parameter), not the type's.
bool BitshuffleChunkSound(const unsigned char* raw, std::int64_t stored, std::int64_t chunkBytes,
                          std::int64_t elementSize, LZ4Decompress lz4,
                          std::vector<char>& scratch) {
  if (stored < 12 || elementSize <= 0 || chunkBytes % elementSize != 0 ||
      static_cast<std::int64_t>(BigEndian(raw, 8)) != chunkBytes) {
    return false;
  }
  const auto blockBytes = static_cast<std::int64_t>(BigEndian(raw + 8, 4));
  if (blockBytes <= 0 || blockBytes % (8 * elementSize) != 0) return false;
  std::vector<Block> blocks;
  std::int64_t tailAt = 0;
  const std::int64_t elements = chunkBytes / elementSize;
  if (!BlocksFit(raw + 12, stored - 12, elements, elementSize, blockBytes / elementSize, blocks,
                 tailAt)) {
    return false;
  }
  for (const Block& b : blocks) {
    const std::int64_t want = b.elements * elementSize;
    if (want > INT32_MAX) return false;
    scratch.resize(static_cast<std::size_t>(want));
    if (lz4(reinterpret_cast<const char*>(raw + 12 + b.at), scratch.data(),
            static_cast<int>(b.bytes), static_cast<int>(want)) != want) {
      return false;
    }
  }
  return true;
}

// Whether a zlib stream of `n` bytes (the deflate filter's) inflates to exactly `want` bytes and
// ends there. Decoded into a small buffer and counted: a stream that would inflate far past its
// chunk is given up as soon as it passes it.
bool InflatesTo(const unsigned char* raw, std::int64_t n, std::int64_t want) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return false;
  thread_local std::vector<unsigned char> out(std::size_t{1} << 16);
  std::int64_t made = 0, left = n;
  int result = Z_OK;
  while (result == Z_OK && made <= want) {
    if (z.avail_in == 0 && left > 0) {
      const auto take = static_cast<uInt>(std::min<std::int64_t>(left, 1 << 30));
      z.next_in = const_cast<Bytef*>(raw + (n - left));
      z.avail_in = take;
      left -= take;
    }
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    result = inflate(&z, Z_NO_FLUSH);
    made += static_cast<std::int64_t>(out.size() - z.avail_out);
  }
  inflateEnd(&z);
  return result == Z_STREAM_END && made == want;
}

// Whether a stored chunk undoes into exactly `chunkBytes` bytes through the filters it passed
// (bit k of `skipped` set: filter k was not applied to it). A chain that puts anything but
// checksums after its compressor is not checked, and refused.
bool ChunkDecodes(const Filters& filters, std::uint32_t skipped, const unsigned char* raw,
                  std::int64_t stored, std::int64_t chunkBytes, const Decoders& decoders,
                  std::vector<char>& scratch) {
  std::int64_t size = chunkBytes;  // bytes entering the next filter
  std::int64_t tail = 0;           // checksum bytes after the compressor
  std::int64_t before = 0;         // bytes entering the compressor
  Stage compressor = Stage::kSame;
  for (std::size_t i = 0; i < filters.stages.size(); ++i) {
    if ((skipped >> i) & 1u) continue;
    const Stage stage = filters.stages[i];
    switch (stage) {
      case Stage::kSame:
      case Stage::kBitshufflePlain:
        if (compressor != Stage::kSame) return false;
        if (stage == Stage::kBitshufflePlain && size % filters.bitshuffleElement != 0) {
          return false;
        }
        break;
      case Stage::kChecksum:
        (compressor != Stage::kSame ? tail : size) += 4;
        break;
      case Stage::kOpaque:
        return true;  // its frame is read by a child first
      default:
        if (compressor != Stage::kSame) return false;
        compressor = stage;
        before = size;
        break;
    }
  }
  if (compressor == Stage::kSame) return stored == size;
  if (stored < tail) return false;
  const std::int64_t n = stored - tail;
  switch (compressor) {
    case Stage::kDeflate: return InflatesTo(raw, n, before);
    case Stage::kLZ4: return LZ4ChunkSound(raw, n, before, decoders.lz4, scratch);
    case Stage::kBitshuffleLZ4:
      return BitshuffleChunkSound(raw, n, before, filters.bitshuffleElement, decoders.lz4,
                                  scratch);
    default: return false;
  }
}

// Whether a file name from storage is a plain name: no pattern ("%b"), no "." for the file itself.
bool PlainName(const std::string& name) {
  return !name.empty() && name != "." && name.find('%') == std::string::npos &&
         name.size() < 4096;
}

using Refusal = std::function<int(const std::string&)>;

// External raw storage: each segment's file regular, and the frame's bytes inside the files.
int ExternalSound(hid_t plist, int count, std::int64_t begin, std::int64_t end,
                  const HoldingFile& holder, const Refusal& refuse) {
  if (count > 1024) return refuse(IFormat("it is stored in %d external segments", count));
  std::int64_t start = 0;  // the data-set's byte at which the segment begins
  for (int k = 0; k < count && start < end; ++k) {
    char name[4097] = {};
    off_t offset = 0;
    hsize_t size = 0;
    if (H5Pget_external(plist, static_cast<unsigned>(k), sizeof name - 1, name, &offset, &size) <
        0) {
      return refuse("its external storage cannot be read");
    }
    std::int64_t length = -1;
    if (!PlainName(name) || !RegularSource(name, holder, "HDF5_EXTFILE_PREFIX", false, length) ||
        length < 0) {
      return refuse(IFormat("its external file \"%s\" is missing or no regular file", name));
    }
    const std::int64_t segment =
        size == H5F_UNLIMITED || size > static_cast<hsize_t>(INT64_MAX - start)
            ? INT64_MAX - start
            : static_cast<std::int64_t>(size);
    const std::int64_t backed = offset < 0 || offset >= length ? 0 : length - offset;
    const std::int64_t to = std::min(end, start + segment);
    if (std::max(begin, start) < to && to - start > backed) {
      return refuse(IFormat("its external file \"%s\" holds %lld bytes from byte %lld, too few",
                            name, static_cast<long long>(backed),
                            static_cast<long long>(offset)));
    }
    start += segment;
  }
  if (start < end) return refuse("its external storage ends before the frame");
  return kTrue;
}

// Virtual storage: each source a plain name of a regular file other than this one (a data-set
// that is its own source sends the library into endless recursion); the frame not out of all
// proportion to the bytes its sources hold.
int VirtualSound(hid_t plist, std::int64_t frameBytes, const HoldingFile& holder,
                 const Refusal& refuse) {
  std::size_t count = 0;
  if (H5Pget_virtual_count(plist, &count) < 0 || count == 0 || count > 4096) {
    return refuse("its virtual mappings cannot be read");
  }
  std::int64_t sources = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const ssize_t n = H5Pget_virtual_filename(plist, i, nullptr, 0);
    const ssize_t m = H5Pget_virtual_dsetname(plist, i, nullptr, 0);
    if (n <= 0 || n >= 4096 || m <= 0 || m >= 4096) {
      return refuse("its virtual mappings cannot be read");
    }
    std::string name(static_cast<std::size_t>(n) + 1, '\0'), path(static_cast<std::size_t>(m) + 1, '\0');
    H5Pget_virtual_filename(plist, i, name.data(), name.size());
    H5Pget_virtual_dsetname(plist, i, path.data(), path.size());
    name.resize(static_cast<std::size_t>(n));
    path.resize(static_cast<std::size_t>(m));
    std::int64_t length = -1;
    if (!PlainName(name) || path.find('%') != std::string::npos ||
        !RegularSource(name, holder, "HDF5_VDS_PREFIX", true, length) || length < 0) {
      return refuse(IFormat("its virtual source \"%s\" is missing, no regular file, a pattern "
                            "or the file itself",
                            name.c_str()));
    }
    sources = std::min(sources + length, INT64_MAX / 8192);
  }
  constexpr std::int64_t kMostRatio = 4096;
  if (frameBytes > sources * kMostRatio + kChunkAllowance) {
    return refuse(IFormat("its sources hold %lld bytes, too few for a frame of %lld",
                          static_cast<long long>(sources), static_cast<long long>(frameBytes)));
  }
  return kTrue;
}

// The chunk grid of a frame: its chunk shape (bounded by the frame) and how many chunks across
// and down.
struct Grid {
  hsize_t chunk[3] = {1, 1, 1};
  std::int64_t bytes = 0;
  std::int64_t across = 0, down = 0;
};

bool ChunkGrid(hid_t plist, const Part& part, int rank, std::int64_t typeSize, Grid& grid) {
  if (H5Pget_chunk(plist, rank, grid.chunk) != rank) return false;
  const std::int64_t frameBytes = part.columns * part.rows * typeSize;
  grid.bytes = typeSize;
  for (int k = 0; k < rank; ++k) {
    if (grid.chunk[k] == 0 || grid.chunk[k] > static_cast<hsize_t>(INT32_MAX) ||
        grid.bytes > (frameBytes + kChunkAllowance) / static_cast<std::int64_t>(grid.chunk[k])) {
      return false;
    }
    grid.bytes *= static_cast<std::int64_t>(grid.chunk[k]);
  }
  const hsize_t* plane = rank == 3 ? grid.chunk + 1 : grid.chunk;
  grid.down = (part.rows + static_cast<std::int64_t>(plane[0]) - 1) /
              static_cast<std::int64_t>(plane[0]);
  grid.across = (part.columns + static_cast<std::int64_t>(plane[1]) - 1) /
                static_cast<std::int64_t>(plane[1]);
  return grid.down <= kMostChunksPerFrame / std::max<std::int64_t>(grid.across, 1);
}

// Calls `visit(offset)` with the offset of each chunk that frame `frame` lies in, until it
// returns false.
template <class Visit>
bool EachChunk(const Grid& grid, int rank, std::int64_t frame, Visit visit) {
  const hsize_t* plane = rank == 3 ? grid.chunk + 1 : grid.chunk;
  hsize_t offset[3] = {rank == 3 ? static_cast<hsize_t>(frame) / grid.chunk[0] * grid.chunk[0] : 0,
                       0, 0};
  hsize_t* planeOffset = rank == 3 ? offset + 1 : offset;
  for (std::int64_t y = 0; y < grid.down; ++y) {
    for (std::int64_t x = 0; x < grid.across; ++x) {
      planeOffset[0] = static_cast<hsize_t>(y) * plane[0];
      planeOffset[1] = static_cast<hsize_t>(x) * plane[1];
      if (!visit(static_cast<const hsize_t*>(offset))) return false;
    }
  }
  return true;
}

// Whether the bytes the file holds back frame `frame` (0-based) as the data-set's layout
// declares them: checked before the frame is allocated, and before the library reads. A warning
// says why not. `unchecked` is set when the library will decode what cannot be checked here
// (the frame is then read by a child first).
int StorageSound(const char* routine, hid_t dataset, const Part& part, int rank,
                 std::int64_t frame, bool& unchecked, int& status) {
  unchecked = false;
  const Refusal refuse = [&](const std::string& why) {
    IWarning(IFormat("%s: Frame %lld of %s cannot be read: %s", routine,
                     static_cast<long long>(frame + 1), part.path.c_str(), why.c_str()),
             status);
    return kFalse;
  };
  Handle plist(H5Dget_create_plist(dataset), H5Pclose);
  Handle type(H5Dget_type(dataset), H5Tclose);
  if (!plist || !type) return refuse("its storage cannot be read");
  const auto typeSize = static_cast<std::int64_t>(H5Tget_size(type.get()));
  // The image size check bounds the frame; the frames before it may still overflow.
  const std::int64_t frameBytes = part.columns * part.rows * typeSize;
  if (typeSize != SizeOf(part.kind) || frameBytes <= 0 || frame >= INT64_MAX / frameBytes - 1) {
    return refuse("its size cannot be told");
  }
  const std::int64_t begin = frame * frameBytes, end = begin + frameBytes;
  const HoldingFile holder = FileOf(dataset);
  switch (H5Pget_layout(plist.get())) {
    case H5D_COMPACT: {
      const auto stored = static_cast<std::int64_t>(
          std::min<hsize_t>(H5Dget_storage_size(dataset), INT64_MAX));
      if (stored < end) {
        return refuse(IFormat("the data-set holds %lld bytes, the frame ends at byte %lld",
                              static_cast<long long>(stored), static_cast<long long>(end)));
      }
      return kTrue;
    }
    case H5D_CONTIGUOUS: {
      const int externals = H5Pget_external_count(plist.get());
      if (externals < 0) return refuse("its storage cannot be read");
      if (externals > 0) return ExternalSound(plist.get(), externals, begin, end, holder, refuse);
      const haddr_t address = H5Dget_offset(dataset);
      if (address == HADDR_UNDEF) return kTrue;  // never written: the fill value
      const auto stored = static_cast<std::int64_t>(
          std::min<hsize_t>(H5Dget_storage_size(dataset), INT64_MAX));
      if (stored < end || holder.length < 0 || address > static_cast<haddr_t>(holder.length) ||
          end > holder.length - static_cast<std::int64_t>(address)) {
        return refuse(IFormat("the file holds %lld bytes, the frame would end at byte %llu",
                              static_cast<long long>(holder.length),
                              static_cast<unsigned long long>(address) +
                                  static_cast<unsigned long long>(end)));
      }
      return kTrue;
    }
    case H5D_VIRTUAL:
      unchecked = true;
      return VirtualSound(plist.get(), frameBytes, holder, refuse);
    case H5D_CHUNKED:
      break;
    default:
      return refuse("its layout is not known here");
  }

  Filters filters;
  if (!ReadFilters(routine, plist.get(), part, filters, status)) return kFalse;
  unchecked = filters.opaque;
  Grid grid;
  if (!ChunkGrid(plist.get(), part, rank, typeSize, grid)) {
    return refuse("its chunks are out of proportion to the frame (too large, or too many)");
  }
  const std::size_t declared = filters.stages.size();
  const std::uint64_t all = declared >= 32 ? 0xffffffffu : (std::uint64_t{1} << declared) - 1;
  const std::int64_t expected = grid.bytes + 4 * filters.checksums;
  // Compressors expand what they cannot compress by a small fraction at most.
  const std::int64_t most = expected + expected / 32 + 65536;
  std::string why;
  EachChunk(grid, rank, frame, [&](const hsize_t* offset) {
    unsigned mask = 0;
    haddr_t address = HADDR_UNDEF;
    hsize_t stored = 0;
    if (H5Dget_chunk_info_by_coord(dataset, offset, &mask, &address, &stored) < 0) {
      why = "its chunk index cannot be read";
      return false;
    }
    if (address == HADDR_UNDEF) return true;  // never written: the fill value
    if ((mask & ~all) != 0) {
      why = IFormat("a chunk claims to have skipped filters (mask 0x%x) the data-set has not",
                    mask);
      return false;
    }
    const bool plain = (mask & all) == all;  // stored as it is read
    if (stored == 0 || stored > static_cast<hsize_t>(most) ||
        (plain && stored != static_cast<hsize_t>(grid.bytes))) {
      why = IFormat("a chunk of %lld bytes is stored in %llu", static_cast<long long>(grid.bytes),
                    static_cast<unsigned long long>(stored));
      return false;
    }
    if (holder.length < 0 || address > static_cast<haddr_t>(holder.length) ||
        stored > static_cast<hsize_t>(holder.length) - address) {
      why = "a chunk lies beyond the end of the file";
      return false;
    }
    return true;
  });
  return why.empty() ? kTrue : refuse(why);
}

// Whether each stored chunk of frame `frame` (0-based) decodes to exactly the chunk through its
// filters, checked here before the library decodes it; a warning says why not.
int ChunkContentsSound(const char* routine, hid_t dataset, const Part& part, int rank,
                       std::int64_t frame, int& status) {
  Handle plist(H5Dget_create_plist(dataset), H5Pclose);
  if (!plist || H5Pget_layout(plist.get()) != H5D_CHUNKED) return kTrue;
  Filters filters;
  if (!ReadFilters(routine, plist.get(), part, filters, status)) return kFalse;
  if (filters.stages.empty()) return kTrue;  // each chunk's size was checked exactly
  const bool lz4 = std::any_of(filters.stages.begin(), filters.stages.end(), [](Stage s) {
    return s == Stage::kLZ4 || s == Stage::kBitshuffleLZ4;
  });
  const Decoders& decoders = BitshuffleDecoders();
  if (lz4 && !decoders.lz4) {
    IWarning(IFormat("%s: The data-set %s cannot be checked before decoding (no "
                     "LZ4_decompress_safe in the bitshuffle plugin's libraries)",
                     routine, part.path.c_str()),
             status);
    return kFalse;
  }
  Grid grid;
  if (!ChunkGrid(plist.get(), part, rank, SizeOf(part.kind), grid)) return kFalse;
  std::vector<unsigned char> raw;
  std::vector<char> scratch;
  const bool sound = EachChunk(grid, rank, frame, [&](const hsize_t* offset) {
    unsigned mask = 0;
    haddr_t address = HADDR_UNDEF;
    hsize_t stored = 0;
    if (H5Dget_chunk_info_by_coord(dataset, offset, &mask, &address, &stored) < 0) return false;
    if (address == HADDR_UNDEF) return true;  // the fill value, without the filters
    raw.resize(static_cast<std::size_t>(stored));  // bounded by StorageSound
    std::uint32_t skipped = 0;
    return H5Dread_chunk(dataset, H5P_DEFAULT, offset, &skipped, raw.data()) >= 0 &&
           ChunkDecodes(filters, skipped, raw.data(), static_cast<std::int64_t>(stored),
                        grid.bytes, decoders, scratch);
  });
  if (!sound) {
    IWarning(IFormat("%s: Frame %lld of %s lies in a damaged compressed chunk", routine,
                     static_cast<long long>(frame + 1), part.path.c_str()),
             status);
    return kFalse;
  }
  return kTrue;
}

// ---- The NeXus instrument group ---------------------------------------------------------------

// Whether the library may read the whole of a small data-set of the instrument group (a scalar,
// the pixel mask) as a frame: its storage checked quietly, nothing left to a child (what
// cannot be checked is passed over).
bool WholeSound(hid_t dataset, const Part& part) {
  IMessageCapture quiet;
  int status = kStatusGood;
  Handle space(H5Dget_space(dataset), H5Sclose);
  const int rank = space ? H5Sget_simple_extent_ndims(space.get()) : -1;
  bool unchecked = false;
  return rank >= 0 && StorageSound("HDF5", dataset, part, rank, 0, unchecked, status) &&
         !unchecked && ChunkContentsSound("HDF5", dataset, part, rank, 0, status);
}

// A scalar number and its "units" attribute.
bool ReadScalar(hid_t file, const std::string& path, double& value, std::string& units) {
  if (!PathExists(file, path)) return false;
  H5O_info_t info;
  if (H5Oget_info_by_name(file, path.c_str(), &info, H5P_DEFAULT) < 0 ||
      info.type != H5O_TYPE_DATASET) {
    return false;
  }
  Handle dataset(H5Dopen2(file, path.c_str(), H5P_DEFAULT), H5Dclose);
  if (!dataset) return false;
  Handle type(H5Dget_type(dataset.get()), H5Tclose);
  Handle space(H5Dget_space(dataset.get()), H5Sclose);
  if (!type || !space || H5Sget_simple_extent_npoints(space.get()) != 1) return false;
  const H5T_class_t cls = H5Tget_class(type.get());
  if (cls != H5T_INTEGER && cls != H5T_FLOAT) return false;
  Part part;
  part.path = path;
  part.kind = KindOf(type.get());
  part.frames = part.rows = part.columns = 1;
  if (part.kind == Kind::kNone || !WholeSound(dataset.get(), part)) return false;
  double v = 0.0;
  if (H5Dread(dataset.get(), H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, &v) < 0 ||
      !std::isfinite(v)) {
    return false;
  }
  value = v;
  units = StringAttribute(dataset.get(), "units");
  return true;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
  return text;
}

// Metres per unit of length; 0 for a unit that is no length. No unit: `otherwise`.
double Metres(const std::string& units, double otherwise) {
  const std::string u = Lower(units);
  if (u.empty()) return otherwise;
  if (u == "m" || u == "metre" || u == "metres" || u == "meter" || u == "meters") return 1.0;
  if (u == "cm") return 1.0e-2;
  if (u == "mm" || u == "millimetre" || u == "millimeter" || u == "millimetres" ||
      u == "millimeters") {
    return 1.0e-3;
  }
  if (u == "um" || u == "\xc2\xb5m" || u == "micron" || u == "microns" || u == "micrometre" ||
      u == "micrometer") {
    return 1.0e-6;
  }
  if (u == "nm" || u == "nanometre" || u == "nanometer") return 1.0e-9;
  if (u == "a" || u == "\xc3\x85" || u == "angstrom" || u == "angstroms") return 1.0e-10;
  return 0.0;
}

// Pixel sizes, distance, wavelength and beam centre where the instrument group gives them.
void TakeGeometry(hid_t file, DataSet& d, int& status) {
  const std::string detector = "/entry/instrument/detector/";
  double v = 0.0;
  std::string units;
  auto length = [&](const std::string& path, double fallback, double& metres) {
    if (!ReadScalar(file, path, v, units)) return false;
    const double scale = Metres(units, fallback);
    if (scale == 0.0 || !(v * scale > 0.0) || v * scale > 1.0e3) return false;
    metres = v * scale;
    return true;
  };
  double sizeX = 0.0, sizeY = 0.0, distance = 0.0, wavelength = 0.0;
  bool found = false;
  if (length(detector + "x_pixel_size", 1.0, sizeX)) {
    d.pixelSizeX = static_cast<float>(sizeX);
    d.headerGeometry |= kGeometryPixelSizeX;
    found = true;
  }
  if (length(detector + "y_pixel_size", 1.0, sizeY)) {
    d.pixelSizeY = static_cast<float>(sizeY);
    d.headerGeometry |= kGeometryPixelSizeY;
    found = true;
  }
  if (length(detector + "distance", 1.0, distance) ||
      length(detector + "detector_distance", 1.0, distance)) {
    d.distance = static_cast<float>(distance);
    d.headerGeometry |= kGeometryDistance;
    found = true;
  }
  if (length("/entry/instrument/beam/incident_wavelength", 1.0e-10, wavelength) ||
      length("/entry/instrument/monochromator/wavelength", 1.0e-10, wavelength) ||
      length("/entry/sample/beam/incident_wavelength", 1.0e-10, wavelength)) {
    d.wavelength = static_cast<float>(wavelength);
    d.headerGeometry |= kGeometryWavelength;
    found = true;
  }
  // The beam centre in pixels, or as a length on the detector.
  auto centre = [&](const char* name, float pixel, unsigned bit, float& target) {
    if (!ReadScalar(file, detector + name, v, units)) return;
    const std::string u = Lower(units);
    double pixels = v;
    if (!u.empty() && u != "pixel" && u != "pixels") {
      const double scale = Metres(u, 0.0);
      if (scale == 0.0 || pixel <= 0.0f) return;
      pixels = v * scale / pixel;
    }
    if (std::isfinite(pixels) && std::fabs(pixels) < 1.0e7) {
      target = static_cast<float>(pixels);
      d.headerGeometry |= bit;
      found = true;
    }
  };
  centre("beam_center_x", d.pixelSizeX, kGeometryBeamCentreX, d.beamCentreX);
  centre("beam_center_y", d.pixelSizeY, kGeometryBeamCentreY, d.beamCentreY);
  if (!found) return;
  IInfo(IFormat("HDF5 geometry: pixels %g x %g microns, distance %g mm, wavelength %g Angstroms, "
                "beam centre (%g, %g) pixels",
                static_cast<double>(d.pixelSizeX) * 1.0e6,
                static_cast<double>(d.pixelSizeY) * 1.0e6, static_cast<double>(d.distance) * 1e3,
                static_cast<double>(d.wavelength) * 1.0e10, static_cast<double>(d.beamCentreX),
                static_cast<double>(d.beamCentreY)),
        status);
}

// The detector's pixel mask (non-zero: a pixel not to be used), when it has the frame's size,
// added to `mask` (allocated clear when it is not yet). Returns the pixels it masks, -1 when
// there is none.
std::int64_t TakePixelMask(hid_t file, const DataSet& d, IArray<unsigned char>& mask,
                           int& status) {
  for (const char* path : {"/entry/instrument/detector/pixel_mask",
                           "/entry/instrument/detector/detectorSpecific/pixel_mask"}) {
    Part part;
    if (!DescribePath(file, path, part) || part.frames != 1 || part.columns != d.dimX ||
        part.rows != d.dimY || SizeOf(part.kind) == 0) {
      continue;
    }
    Handle dataset(H5Dopen2(file, path, H5P_DEFAULT), H5Dclose);
    if (!dataset || !WholeSound(dataset.get(), part)) continue;
    const std::int64_t n = static_cast<std::int64_t>(IElementCount(d));
    std::vector<std::uint32_t> values;
    try {
      values.resize(static_cast<std::size_t>(n));
    } catch (...) {
      return -1;
    }
    if (H5Dread(dataset.get(), H5T_NATIVE_UINT32, H5S_ALL, H5S_ALL, H5P_DEFAULT,
                values.data()) < 0) {
      continue;
    }
    if (!mask) {
      if (!IAllocateMemory("FInputHDF5: MASK", n, mask, status)) return -1;
      std::memset(mask.get(), 0, static_cast<std::size_t>(n));
    }
    std::int64_t masked = 0;
    for (std::int64_t i = 0; i < n; ++i) {
      const unsigned char bad = values[static_cast<std::size_t>(i)] != 0;
      mask[i] |= bad;
      masked += bad;
    }
    return masked;
  }
  return -1;
}

// Whether the data-set's stored bytes can back frame `frame` (0-based): a contiguous data-set
// holds the frame itself, a chunked (compressed) one at least a plausible share of it. Checked
// before the frame is allocated: a header may claim any size in a file of a few kilobytes.
int Backed(const char* routine, hid_t file, const Part& part, std::int64_t frame, int& status) {
  Handle dataset(H5Dopen2(file, part.path.c_str(), H5P_DEFAULT), H5Dclose);
  if (!dataset) {
    IWarning(IFormat("%s: The data-set %s cannot be opened", routine, part.path.c_str()), status);
    return kFalse;
  }
  const std::int64_t frameBytes = part.columns * part.rows * SizeOf(part.kind);
  if (frameBytes <= 0) return kFalse;
  // The stored bytes must be able to back the frame: a contiguous data-set holds the frame
  // itself, a chunked (compressed) one at least a plausible share of it.
  Handle plist(H5Dget_create_plist(dataset.get()), H5Pclose);
  const H5D_layout_t layout = plist ? H5Pget_layout(plist.get()) : H5D_LAYOUT_ERROR;
  const auto stored = static_cast<std::int64_t>(
      std::min<hsize_t>(H5Dget_storage_size(dataset.get()), INT64_MAX / 4));
  constexpr std::int64_t kMostRatio = 4096;
  constexpr std::int64_t kSmallFrame = std::int64_t{64} << 20;
  if ((layout == H5D_CONTIGUOUS && stored / frameBytes < frame + 1) ||
      (layout == H5D_CHUNKED && frameBytes > kSmallFrame && stored * kMostRatio < frameBytes)) {
    IWarning(IFormat("%s: The data-set %s stores %lld bytes, too few for frame %lld of %lld "
                     "bytes",
                     routine, part.path.c_str(), static_cast<long long>(stored),
                     static_cast<long long>(frame + 1), static_cast<long long>(frameBytes)),
             status);
    return kFalse;
  }
  return kTrue;
}

// Reads frame `frame` (0-based) of a part into d's data, which holds columns x rows reals.
int ReadFrame(const char* routine, hid_t file, const Part& part, std::int64_t frame, DataSet& d,
              std::int64_t& overflows, int& status) {
  Handle dataset(H5Dopen2(file, part.path.c_str(), H5P_DEFAULT), H5Dclose);
  Handle space(dataset ? H5Dget_space(dataset.get()) : -1, H5Sclose);
  if (!dataset || !space) {
    IWarning(IFormat("%s: The data-set %s cannot be opened", routine, part.path.c_str()), status);
    return kFalse;
  }
  const int rank = H5Sget_simple_extent_ndims(space.get());
  const int size = SizeOf(part.kind);
  const std::int64_t n = static_cast<std::int64_t>(part.columns) * part.rows;
  const std::int64_t frameBytes = n * size;
  hsize_t start[3] = {0, 0, 0};
  hsize_t count[3] = {1, static_cast<hsize_t>(part.rows), static_cast<hsize_t>(part.columns)};
  if (rank == 3) {
    start[0] = static_cast<hsize_t>(frame);
    if (H5Sselect_hyperslab(space.get(), H5S_SELECT_SET, start, nullptr, count, nullptr) < 0) {
      return IFail(IRoutine{routine, "V0.1"}, kStatusBadFileData, status);
    }
  } else {
    H5Sselect_all(space.get());
  }
  // The memory space has the selection's own shape: the library then moves the frame as one
  // block (a flat memory space makes it map every element, about ten times slower).
  Handle memorySpace(H5Screate_simple(rank, rank == 3 ? count : count + 1, nullptr), H5Sclose);

  // Values of up to four bytes are read straight into the image and converted in place (the
  // narrower ones from the end); eight-byte ones through a buffer of their own.
  float* target = d.data.get();
  IArray<unsigned char> buffer;
  unsigned char* bytes = reinterpret_cast<unsigned char*>(target);
  if (size > 4) {
    if (!IAllocateMemory("FInputHDF5: FRAME", frameBytes, buffer, status)) return kFalse;
    bytes = buffer.get();
  }
  Handle fileType(H5Dget_type(dataset.get()), H5Tclose);
  const Direct direct = fileType ? ReadBitshuffleChunk(dataset.get(), fileType.get(), part, rank,
                                                       frame, bytes)
                                 : Direct::kOtherKind;
  if (direct == Direct::kDamaged) {
    IWarning(IFormat("%s: Frame %lld of %s is a damaged bitshuffle-LZ4 chunk", routine,
                     static_cast<long long>(frame + 1), part.path.c_str()),
             status);
    return kFalse;
  }
  if (direct == Direct::kOtherKind && !ChunkContentsSound(routine, dataset.get(), part, rank,
                                                         frame, status)) {
    return kFalse;
  }
  if (direct == Direct::kOtherKind &&
      H5Dread(dataset.get(), MemoryType(part.kind), memorySpace.get(), space.get(), H5P_DEFAULT,
              bytes) < 0) {
    IWarning(IFormat("%s: Frame %lld of %s cannot be read (damaged data, or a compression filter "
                     "that is not installed)",
                     routine, static_cast<long long>(frame + 1), part.path.c_str()),
             status);
    return kFalse;
  }
  switch (part.kind) {
    case Kind::kU8: overflows = ConvertNarrow<std::uint8_t>(target, n); break;
    case Kind::kI8: overflows = ConvertNarrow<std::int8_t>(target, n); break;
    case Kind::kU16: overflows = ConvertNarrow<std::uint16_t>(target, n); break;
    case Kind::kI16: overflows = ConvertNarrow<std::int16_t>(target, n); break;
    case Kind::kU32: overflows = Convert<std::uint32_t>(bytes, target, n); break;
    case Kind::kI32: overflows = Convert<std::int32_t>(bytes, target, n); break;
    case Kind::kU64: overflows = Convert<std::uint64_t>(bytes, target, n); break;
    case Kind::kI64: overflows = Convert<std::int64_t>(bytes, target, n); break;
    case Kind::kF32: overflows = 0; break;  // already reals, read in place
    case Kind::kF64: overflows = Convert<double>(bytes, target, n); break;
    case Kind::kNone: return kFalse;
  }
  return kTrue;
}

// Marks the overflow value of the frame's kind on the converted reals. Reals keep the largest
// 8- and 16-bit integers exact; above 24 bits the few values next to the largest one, which
// round to the same real, are marked with it (they are saturated pixels as well).
void MarkKindOverflows(Kind kind, const float* data, unsigned char* mask, std::int64_t n) {
  switch (kind) {
    case Kind::kU8: MarkOverflows<std::uint8_t>(data, mask, n); break;
    case Kind::kI8: MarkOverflows<std::int8_t>(data, mask, n); break;
    case Kind::kU16: MarkOverflows<std::uint16_t>(data, mask, n); break;
    case Kind::kI16: MarkOverflows<std::int16_t>(data, mask, n); break;
    case Kind::kU32: MarkOverflows<std::uint32_t>(data, mask, n); break;
    case Kind::kI32: MarkOverflows<std::int32_t>(data, mask, n); break;
    case Kind::kU64: MarkOverflows<std::uint64_t>(data, mask, n); break;
    case Kind::kI64: MarkOverflows<std::int64_t>(data, mask, n); break;
    default: break;
  }
}

// The file last opened on this thread and its located image: the information routine leaves
// it open for the input routine that follows it (the pair is how every file is read), which
// takes it over when the file is the same one (name, device, inode, size, time of change).
struct OpenSource {
  std::string name;
  int dataset = 1;
  struct stat info {};
  Handle file;
  Source source;
};
thread_local OpenSource tOpen;

// ---- A first reading in a child process -------------------------------------------------------
// The HDF5 library (1.10) is not hardened against damaged files of its own format: a broken
// object header or link message crashes it (fuzzing finds such files within a minute). So a
// file is first read by a forked child: opened, its image located, the chunk index of every
// frame looked up, the instrument group and the pixel mask read. The file is taken only when
// the child ends normally; the library then makes the same calls here on the same bytes. The
// verdict is kept per file (device, inode, size, time of change), so a file's frames cost one
// child. Every entry point holds gLibrary: no other thread is inside the library when a child is
// forked. LV_HDF5_IN_PROCESS=1 reads in this process only (the fuzz target does, to see the
// library's crashes).

std::recursive_mutex gLibrary;  // a message box's events may read a file again

bool InProcessOnly() {
  static const bool only = [] {
    const char* value = std::getenv("LV_HDF5_IN_PROCESS");
    return value && *value && std::strcmp(value, "0") != 0;
  }();
  return only;
}

struct Verdict {
  struct stat info {};
  bool sound = false;
};
std::vector<Verdict> gVerdicts;  // the latest last; under gLibrary

constexpr std::int64_t kMostChunkLookups = std::int64_t{1} << 20;

// What the child does: everything the reading here will ask of the library but the pixels.
void TrialRead(const std::string& fileName) {
  IMessageCapture quiet;
  int status = kStatusGood;
  Handle file;
  Source source;
  if (!OpenFile("HDF5 trial", fileName, file, status) ||
      !Locate("HDF5 trial", file.get(), fileName, 1, source, status)) {
    return;
  }
  // Every image stack the file offers may be chosen: the chunk indices of all are looked up.
  std::vector<Part> parts = source.parts;
  if (!NeXusFrames(file.get())) {
    Search search{file.get()};
    SearchGroup(search, "/", 0);
    parts = search.found;
  }
  std::int64_t lookups = 0;
  for (const Part& part : parts) {
    Handle dataset(H5Dopen2(file.get(), part.path.c_str(), H5P_DEFAULT), H5Dclose);
    Handle plist(dataset ? H5Dget_create_plist(dataset.get()) : -1, H5Pclose);
    if (!plist) continue;
    H5Dget_storage_size(dataset.get());
    hsize_t chunk[3] = {1, 1, 1};
    if (H5Pget_layout(plist.get()) != H5D_CHUNKED) continue;
    Handle space(H5Dget_space(dataset.get()), H5Sclose);
    const int stored = space ? H5Sget_simple_extent_ndims(space.get()) : 0;
    if ((stored != 2 && stored != 3) || H5Pget_chunk(plist.get(), stored, chunk) != stored) {
      continue;
    }
    const hsize_t* plane = stored == 3 ? chunk + 1 : chunk;
    const hsize_t step = stored == 3 ? std::max<hsize_t>(chunk[0], 1) : 1;
    if (plane[0] == 0 || plane[1] == 0) continue;
    // A grid the reading refuses is not walked here either.
    Grid grid;
    if (!ChunkGrid(plist.get(), part, stored, SizeOf(part.kind), grid)) continue;
    for (hsize_t f = 0; f < static_cast<hsize_t>(part.frames); f += step) {
      for (hsize_t y = 0; y < static_cast<hsize_t>(part.rows); y += plane[0]) {
        for (hsize_t x = 0; x < static_cast<hsize_t>(part.columns); x += plane[1]) {
          const hsize_t offset3[3] = {f, y, x};
          hsize_t size = 0;
          H5Dget_chunk_storage_size(dataset.get(), stored == 3 ? offset3 : offset3 + 1, &size);
          if (++lookups > kMostChunkLookups) break;
        }
        if (lookups > kMostChunkLookups) break;
      }
      if (lookups > kMostChunkLookups) break;
    }
  }
  DataSet probe;
  probe.dimX = source.columns;
  probe.dimY = source.rows;
  TakeGeometry(file.get(), probe, status);
  IArray<unsigned char> mask;
  TakePixelMask(file.get(), probe, mask, status);
}

// Whether the library survives the file in a child; a warning says when it did not.
bool SurvivesTrial(const char* routine, const std::string& fileName, const struct stat& info,
                   int& status) {
  if (InProcessOnly()) return true;
  const auto refuse = [&](const char* what) {
    IWarning(IFormat("%s: The HDF5 library %s on the structure of the file (a damaged file?): %s",
                     routine, what, fileName.c_str()),
             status);
    return false;
  };
  for (const Verdict& v : gVerdicts) {
    if (FSameFile(v.info, info)) {
      return v.sound || refuse("fails");
    }
  }
  // The child ends within a minute, else it is stopped and the file refused.
  const IChildEnd end = IRunInChild([&] { TrialRead(fileName); }, 60.0);
  if (end == IChildEnd::kNoChild) return true;  // the file is read here all the same
  const bool sound = end == IChildEnd::kNormally;
  if (gVerdicts.size() >= 256) gVerdicts.erase(gVerdicts.begin());
  gVerdicts.push_back({info, sound});
  if (!sound) return refuse(end == IChildEnd::kTooLong ? "does not finish" : "fails");
  return true;
}

// Whether frame `frame` (0-based) of a part may be read here: its storage backs it, and where
// the library decodes what cannot be checked here (virtual sources, opaque filters), a child has
// read the frame first and survived.
int FrameStorageSound(const char* routine, hid_t file, const Part& part, std::int64_t frame,
                      const Source& source, int& status) {
  Handle dataset(H5Dopen2(file, part.path.c_str(), H5P_DEFAULT), H5Dclose);
  Handle space(dataset ? H5Dget_space(dataset.get()) : -1, H5Sclose);
  if (!dataset || !space) {
    IWarning(IFormat("%s: The data-set %s cannot be opened", routine, part.path.c_str()), status);
    return kFalse;
  }
  const int rank = H5Sget_simple_extent_ndims(space.get());
  bool unchecked = false;
  if (!StorageSound(routine, dataset.get(), part, rank, frame, unchecked, status)) return kFalse;
  if (!unchecked || InProcessOnly()) return kTrue;
  const IChildEnd end = IRunInChild(
      [&] {
        IMessageCapture quiet;
        int trialStatus = kStatusGood;
        DataSet trial;
        std::int64_t overflows = 0;
        if (IAllocateData(source.columns, source.rows, trial, trialStatus)) {
          ReadFrame(routine, file, part, frame, trial, overflows, trialStatus);
        }
      },
      60.0);
  if (end == IChildEnd::kNormally || end == IChildEnd::kNoChild) return kTrue;
  IWarning(IFormat("%s: The HDF5 library %s on frame %lld of %s (a damaged file?)", routine,
                   end == IChildEnd::kTooLong ? "does not finish" : "fails",
                   static_cast<long long>(frame + 1), part.path.c_str()),
           status);
  return kFalse;
}

// This thread's open file for `fileName`, opened and located unless it is held already; its
// handle is closed (empty) when the file cannot be opened or holds no image.
OpenSource& OpenAndLocate(const char* routine, const std::string& fileName, int dataset,
                          int& status) {
  struct stat info {};
  const bool known = stat(fileName.c_str(), &info) == 0;
  if (known && tOpen.file && tOpen.name == fileName && tOpen.dataset == dataset &&
      FSameFile(tOpen.info, info)) {
    StartLibrary();
    return tOpen;
  }
  tOpen = OpenSource{};
  Handle file;
  Source source;
  if ((known && S_ISREG(info.st_mode) && !SurvivesTrial(routine, fileName, info, status)) ||
      !OpenFile(routine, fileName, file, status) ||
      !Locate(routine, file.get(), fileName, dataset, source, status)) {
    return tOpen;
  }
  tOpen.name = fileName;
  tOpen.dataset = dataset;
  tOpen.info = info;
  tOpen.file = std::move(file);
  tOpen.source = std::move(source);
  return tOpen;
}

}  // namespace

// ---- Detection, information, input --------------------------------------------------------------

int FIsHDF5(const unsigned char* buffer, int length) {
  static const unsigned char kSignature[8] = {0x89, 'H', 'D', 'F', '\r', '\n', 0x1a, '\n'};
  // The superblock sits at 0 or, after a user block, at 512, 1024, 2048, ...
  for (int at = 0; at + 8 <= length; at = at == 0 ? 512 : at * 2) {
    if (std::memcmp(buffer + at, kSignature, 8) == 0) return kTrue;
  }
  return kFalse;
}

int FHDF5ImageStacks(const std::string& fileName, std::vector<FImageStack>& stacks,
                     int& status) {
  static constexpr IRoutine kR{"FHDF5ImageStacks", "V0.1"};
  stacks.clear();
  if (IBad(kR, status)) return kFalse;
  const std::lock_guard<std::recursive_mutex> library(gLibrary);
  // Quietly: the information routine that follows says what is wrong with the file (its first
  // reading in a child included, whose verdict is kept).
  IMessageCapture quiet;
  int local = kStatusGood;
  struct stat info {};
  Handle file;
  if (stat(fileName.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
      !SurvivesTrial(kR.name, fileName, info, local) ||
      !OpenFile(kR.name, fileName, file, local)) {
    return kFalse;
  }
  if (NeXusFrames(file.get())) {
    Source source;
    if (!Locate(kR.name, file.get(), fileName, 1, source, local)) return kFalse;
    stacks.push_back({source.parts.size() == 1 ? source.parts.front().path : "/entry/data",
                      source.frames, source.columns, source.rows});
    return kTrue;
  }
  Search search{file.get()};
  SearchGroup(search, "/", 0);
  for (const Part& p : search.found) {
    stacks.push_back({p.path, p.frames, p.columns, p.rows, MissingVirtualSource(file.get(), p)});
  }
  return kTrue;
}

int FHDF5DatasetInfo(const std::string& fileName, int dataset, DatasetInfo& info, int& status) {
  static constexpr IRoutine kR{"FHDF5DatasetInfo", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  const std::lock_guard<std::recursive_mutex> library(gLibrary);
  OpenSource& open = OpenAndLocate(kR.name, fileName, dataset, status);
  if (!open.file) return kFalse;
  info.columns = open.source.columns;
  info.rows = open.source.rows;
  info.images = static_cast<int>(open.source.frames);
  info.elementType = ElementTypeOf(open.source.kind);
  return kTrue;
}

int FInputHDF5(const std::string& fileName, int dataset, int image, DataSet& d, int& status) {
  static constexpr IRoutine kR{"FInputHDF5", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  const std::lock_guard<std::recursive_mutex> library(gLibrary);
  // The file the information routine opened just before is taken over, and closed here.
  OpenSource open = std::move(OpenAndLocate(kR.name, fileName, dataset, status));
  tOpen = OpenSource{};
  if (!open.file) return kFalse;
  const Handle& file = open.file;
  const Source& source = open.source;
  if (image < 1 || image > source.frames) {
    IWarning(IFormat("FInputHDF5: Frame %i does not exist: the file holds %lld", image,
                     static_cast<long long>(source.frames)),
             status);
    return kFalse;
  }
  std::int64_t frame = image - 1;
  const Part* part = nullptr;
  for (const Part& p : source.parts) {
    if (frame < p.frames) {
      part = &p;
      break;
    }
    frame -= p.frames;
  }
  if (!part) return kFalse;

  DataSet& read = d;
  if (!Backed(kR.name, file.get(), *part, frame, status) ||
      !FrameStorageSound(kR.name, file.get(), *part, frame, source, status)) {
    return kFalse;
  }
  if (!IAllocateData(source.columns, source.rows, read, status)) return kFalse;
  std::int64_t overflows = 0;
  if (!ReadFrame(kR.name, file.get(), *part, frame, read, overflows, status)) return kFalse;
  IDefineWholeImage(read, source.columns, source.rows);

  // Overflow values and the detector's pixel mask become the mask.
  const std::int64_t n = static_cast<std::int64_t>(IElementCount(read));
  IArray<unsigned char> mask;
  if (overflows > 0) {
    if (!IAllocateMemory("FInputHDF5: MASK", n, mask, status)) return kFalse;
    MarkKindOverflows(part->kind, read.data.get(), mask.get(), n);
  }
  const std::int64_t fromFile = TakePixelMask(file.get(), read, mask, status);
  if (mask) {
    read.mask = std::move(mask);
    read.maskAllocated = read.maskDefined = read.maskInUse = kTrue;
    if (overflows > 0) {
      IInfo(IFormat("%lld overflow pixel(s) masked", static_cast<long long>(overflows)), status);
    }
    if (fromFile >= 0) {
      IInfo(IFormat("Detector pixel mask applied: %lld pixel(s) masked",
                    static_cast<long long>(fromFile)),
            status);
    }
  }
  TakeGeometry(file.get(), read, status);
  if (source.frames > 1) {
    read.title.clear();
    FSetTitleFromFile(fileName, read, true);
    ISetText(read.title, IFormat("%s frame %i", read.title.c_str(), image));
  }
  return kTrue;
}
