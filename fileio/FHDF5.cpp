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

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cctype>
#include <limits>
#include <type_traits>
#include <atomic>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

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

// Whether every component of an absolute path exists as a link (without which H5Lexists on
// the whole path fails rather than answering no).
bool PathExists(hid_t file, const std::string& path) {
  std::size_t from = 1;
  while (from <= path.size()) {
    std::size_t slash = path.find('/', from);
    if (slash == std::string::npos) slash = path.size();
    if (H5Lexists(file, path.substr(0, slash).c_str(), H5P_DEFAULT) <= 0) return false;
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

// Depth-first search of the first data-set that can hold images: in each group the NXdata
// signal first, then the members in name order. Depth and the links visited are bounded, so
// linked loops end.
struct Search {
  hid_t file;
  int visits = 0;
  Part found;
};

bool SearchGroup(Search& search, const std::string& group, int depth) {
  if (depth > 8) return false;
  const std::vector<std::string> names = LinkNames(search.file, group, 4096);
  std::vector<std::string> order;
  {
    Handle g(H5Gopen2(search.file, group.c_str(), H5P_DEFAULT), H5Gclose);
    if (!g) return false;
    const std::string signal = StringAttribute(g.get(), "signal");
    if (!signal.empty() && std::find(names.begin(), names.end(), signal) != names.end()) {
      order.push_back(signal);
    }
  }
  order.insert(order.end(), names.begin(), names.end());
  const std::string prefix = group == "/" ? "/" : group + "/";
  for (const std::string& name : order) {
    if (++search.visits > 20000) return false;
    const std::string path = prefix + name;
    H5O_info_t info;
    // An external link to a missing file fails here and is passed over.
    if (H5Oget_info_by_name(search.file, path.c_str(), &info, H5P_DEFAULT) < 0) continue;
    if (info.type == H5O_TYPE_DATASET) {
      if (DescribePath(search.file, path, search.found)) return true;
    } else if (info.type == H5O_TYPE_GROUP) {
      if (SearchGroup(search, path, depth + 1)) return true;
    }
  }
  return false;
}

// The image data-sets of a file, their frames to be taken in turn.
struct Source {
  std::vector<Part> parts;
  std::int64_t frames = 0;
  int columns = 0, rows = 0;
  Kind kind = Kind::kNone;
};

int Locate(const char* routine, hid_t file, const std::string& fileName, Source& source,
           int& status) {
  Part part;
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
        IWarning(IFormat("%s: The data-set /entry/data/%s cannot be opened (a missing data "
                         "file?): %s",
                         routine, name.c_str(), fileName.c_str()),
                 status);
      }
    }
  }
  if (source.parts.empty()) {
    Search search{file};
    if (SearchGroup(search, "/", 0)) source.parts.push_back(search.found);
  }
  if (source.parts.empty()) {
    IWarning(IFormat("%s: The file holds no 2-D or 3-D integer or real data-set: %s", routine,
                     fileName.c_str()),
             status);
    return kFalse;
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
  std::vector<char> value(info->u.val_size + 1, '\0');
  unsigned flags = 0;
  const char* target = nullptr;
  const char* object = nullptr;
  if (H5Lget_val(group, name, value.data(), info->u.val_size, H5P_DEFAULT) < 0 ||
      H5Lunpack_elink_val(value.data(), info->u.val_size, &flags, &target, &object) < 0 ||
      !target) {
    links.refused = name;
    return 1;
  }
  const std::string file = target;
  if (file.empty() || file == "." || file == ".." ||
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
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
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

// ---- Chunks checked before a plugin decodes them ----------------------------------------------
// The library's own filters (deflate, shuffle, Fletcher-32, szip, n-bit, scale-offset) and the
// bzip2 and LZF plugins bound every read by the chunk's length. The LZ4 (32004) and bitshuffle
// (32008) plugins do not: they take the sizes written in the chunk on trust and decode with
// LZ4_decompress_fast, which reads as far as the stream tells it (a fuzzed file read past its
// chunk this way). So before the library reads a frame of such a data-set, every chunk of the
// frame is decoded here with LZ4_decompress_safe, as the plugin will walk it, and the frame is
// refused unless each decodes exactly. Data-sets with other filters are refused: a plugin not
// known here cannot be vouched for.

constexpr unsigned kLZ4Filter = 32004;

bool BoundedFilter(H5Z_filter_t id) {
  switch (id) {
    case H5Z_FILTER_DEFLATE:
    case H5Z_FILTER_SHUFFLE:
    case H5Z_FILTER_FLETCHER32:
    case H5Z_FILTER_SZIP:
    case H5Z_FILTER_NBIT:
    case H5Z_FILTER_SCALEOFFSET:
    case 307:    // bzip2
    case 32000:  // LZF
      return true;
    default:
      return false;
  }
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

// Whether the library may read frame `frame` (0-based) of the data-set through its filters;
// a warning says why not.
int FiltersSound(const char* routine, hid_t dataset, const Part& part, int rank,
                 std::int64_t frame, int& status) {
  Handle plist(H5Dget_create_plist(dataset), H5Pclose);
  if (!plist || H5Pget_layout(plist.get()) != H5D_CHUNKED) return kTrue;
  const int filters = H5Pget_nfilters(plist.get());
  enum class Check { kNone, kLZ4, kBitshuffleLZ4, kBitshufflePlain } check = Check::kNone;
  std::int64_t elementSize = 0;
  for (int i = 0; i < filters; ++i) {
    unsigned flags = 0, values[8] = {};
    std::size_t count = 8;
    char name[64];
    unsigned config = 0;
    const H5Z_filter_t id =
        H5Pget_filter2(plist.get(), static_cast<unsigned>(i), &flags, &count, values, sizeof name,
                       name, &config);
    if (BoundedFilter(id)) continue;
    const bool lz4 = id == static_cast<H5Z_filter_t>(kLZ4Filter);
    const bool bitshuffle = id == static_cast<H5Z_filter_t>(kBitshuffleFilter);
    if (!lz4 && !bitshuffle) {
      IWarning(IFormat("%s: The data-set %s is compressed with filter %d, which is not read "
                       "here (deflate, szip, bzip2, LZF, LZ4 and bitshuffle-LZ4 are)",
                       routine, part.path.c_str(), static_cast<int>(id)),
               status);
      return kFalse;
    }
    // The stored bytes are the input of the last filter only.
    if (i != filters - 1 || (bitshuffle && count < 3)) {
      IWarning(IFormat("%s: The data-set %s has a chain of filters whose chunks cannot be "
                       "checked",
                       routine, part.path.c_str()),
               status);
      return kFalse;
    }
    if (lz4) {
      check = Check::kLZ4;
      continue;
    }
    const unsigned compression = count >= 5 ? values[4] : 0;
    if (compression != 0 && compression != kBitshuffleLZ4) {
      IWarning(IFormat("%s: The data-set %s is bitshuffled with compression %u, which is not "
                       "read here",
                       routine, part.path.c_str(), compression),
               status);
      return kFalse;
    }
    check = compression == 0 ? Check::kBitshufflePlain : Check::kBitshuffleLZ4;
    elementSize = values[2];
  }
  if (check == Check::kNone) return kTrue;
  const Decoders& decoders = BitshuffleDecoders();
  if (!decoders.lz4 && check != Check::kBitshufflePlain) {
    IWarning(IFormat("%s: The data-set %s cannot be checked before decoding (no "
                     "LZ4_decompress_safe in the bitshuffle plugin's libraries)",
                     routine, part.path.c_str()),
             status);
    return kFalse;
  }

  const auto unreadable = [&] {
    IWarning(IFormat("%s: The data-set %s has a chunk layout that cannot be checked", routine,
                     part.path.c_str()),
             status);
    return kFalse;
  };
  hsize_t chunk[3] = {0, 0, 0};
  Handle type(H5Dget_type(dataset), H5Tclose);
  const std::size_t typeSize = type ? H5Tget_size(type.get()) : 0;
  if (H5Pget_chunk(plist.get(), rank, chunk) != rank || typeSize == 0) return unreadable();
  std::int64_t chunkBytes = static_cast<std::int64_t>(typeSize);
  for (int k = 0; k < rank; ++k) {
    if (chunk[k] == 0 || chunk[k] > static_cast<hsize_t>(INT32_MAX) ||
        chunkBytes > (std::int64_t{1} << 40) / static_cast<std::int64_t>(chunk[k])) {
      return unreadable();
    }
    chunkBytes *= static_cast<std::int64_t>(chunk[k]);
  }
  Handle file(H5Iget_file_id(dataset), H5Fclose);
  hsize_t fileSize = 0;
  if (!file || H5Fget_filesize(file.get(), &fileSize) < 0) return unreadable();

  // The chunks the frame lies in.
  const hsize_t* plane = rank == 3 ? chunk + 1 : chunk;
  hsize_t offset[3] = {rank == 3 ? static_cast<hsize_t>(frame) / chunk[0] * chunk[0] : 0, 0, 0};
  hsize_t* planeOffset = rank == 3 ? offset + 1 : offset;
  std::vector<unsigned char> raw;
  std::vector<char> scratch;
  for (hsize_t y = 0; y < static_cast<hsize_t>(part.rows); y += plane[0]) {
    for (hsize_t x = 0; x < static_cast<hsize_t>(part.columns); x += plane[1]) {
      planeOffset[0] = y;
      planeOffset[1] = x;
      hsize_t stored = 0;
      // A chunk never written reads as the fill value, without the filters.
      if (H5Dget_chunk_storage_size(dataset, offset, &stored) < 0 || stored == 0) continue;
      bool sound = stored <= fileSize;
      std::uint32_t skipped = 0;
      if (sound) {
        raw.resize(static_cast<std::size_t>(stored));
        sound = H5Dread_chunk(dataset, H5P_DEFAULT, offset, &skipped, raw.data()) >= 0;
      }
      // A chunk written without the last filter does not pass through it.
      const bool filtered = (skipped & (1u << (filters - 1))) == 0;
      if (sound && filtered) {
        const auto n = static_cast<std::int64_t>(stored);
        switch (check) {
          case Check::kLZ4:
            sound = LZ4ChunkSound(raw.data(), n, chunkBytes, decoders.lz4, scratch);
            break;
          case Check::kBitshuffleLZ4:
            sound = BitshuffleChunkSound(raw.data(), n, chunkBytes, elementSize, decoders.lz4,
                                         scratch);
            break;
          default:
            // Unshuffled as stored: the plugin's output is as long as the chunk it was given.
            sound = n == chunkBytes && elementSize > 0 && n % elementSize == 0;
            break;
        }
      }
      if (!sound) {
        IWarning(IFormat("%s: Frame %lld of %s lies in a damaged compressed chunk", routine,
                         static_cast<long long>(frame + 1), part.path.c_str()),
                 status);
        return kFalse;
      }
    }
  }
  return kTrue;
}

// ---- The NeXus instrument group ---------------------------------------------------------------

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
    if (!dataset) continue;
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

  // Four-byte values are read straight into the image and converted in place; others through
  // a buffer of their own.
  float* target = d.data.get();
  IArray<unsigned char> buffer;
  unsigned char* bytes = reinterpret_cast<unsigned char*>(target);
  if (size != 4) {
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
  if (direct == Direct::kOtherKind && !FiltersSound(routine, dataset.get(), part, rank, frame,
                                                   status)) {
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
    case Kind::kU8: overflows = Convert<std::uint8_t>(bytes, target, n); break;
    case Kind::kI8: overflows = Convert<std::int8_t>(bytes, target, n); break;
    case Kind::kU16: overflows = Convert<std::uint16_t>(bytes, target, n); break;
    case Kind::kI16: overflows = Convert<std::int16_t>(bytes, target, n); break;
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
  struct stat info {};
  Handle file;
  Source source;
};
thread_local OpenSource tOpen;

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

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
      !Locate("HDF5 trial", file.get(), fileName, source, status)) {
    return;
  }
  std::int64_t lookups = 0;
  for (const Part& part : source.parts) {
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
    if (SameFile(v.info, info)) {
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

// This thread's open file for `fileName`, opened and located unless it is held already; its
// handle is closed (empty) when the file cannot be opened or holds no image.
OpenSource& OpenAndLocate(const char* routine, const std::string& fileName, int& status) {
  struct stat info {};
  const bool known = stat(fileName.c_str(), &info) == 0;
  if (known && tOpen.file && tOpen.name == fileName && SameFile(tOpen.info, info)) {
    StartLibrary();
    return tOpen;
  }
  tOpen = OpenSource{};
  Handle file;
  Source source;
  if ((known && S_ISREG(info.st_mode) && !SurvivesTrial(routine, fileName, info, status)) ||
      !OpenFile(routine, fileName, file, status) ||
      !Locate(routine, file.get(), fileName, source, status)) {
    return tOpen;
  }
  tOpen.name = fileName;
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

int FHDF5DatasetInfo(const std::string& fileName, int, DatasetInfo& info, int& status) {
  static constexpr IRoutine kR{"FHDF5DatasetInfo", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  const std::lock_guard<std::recursive_mutex> library(gLibrary);
  OpenSource& open = OpenAndLocate(kR.name, fileName, status);
  if (!open.file) return kFalse;
  info.columns = open.source.columns;
  info.rows = open.source.rows;
  info.images = static_cast<int>(open.source.frames);
  info.elementType = ElementTypeOf(open.source.kind);
  return kTrue;
}

int FInputHDF5(const std::string& fileName, int image, DataSet& d, int& status) {
  static constexpr IRoutine kR{"FInputHDF5", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  const std::lock_guard<std::recursive_mutex> library(gLibrary);
  // The file the information routine opened just before is taken over, and closed here.
  OpenSource open = std::move(OpenAndLocate(kR.name, fileName, status));
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
  if (!Backed(kR.name, file.get(), *part, frame, status)) return kFalse;
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
