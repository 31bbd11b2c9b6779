// CBF (the binary form of imgCIF) files, read and written through CBFlib.
//
// The library parses the CIF text, the MIME binary sections, their compressions and message
// digests; this file decides which categories and values the program reads and writes.
//
// Reading. A full imgCIF file names its image array in "diffrn_frame_data" and gives its
// dimensions in "array_structure_list" (precedence 1 the columns, 2 the rows). The files that
// detectors write (and that most software writes after them) are "minimal CBF": one
// "array_data" category with the binary section and nothing else; their dimensions, element
// size and sign stand in the MIME header of the binary section, and that is where they are
// taken from when the categories are missing. The first row of the array is data row 0.
//
// Writing. One data block "image_1" with the categories of a full imgCIF image (source,
// wavelength, distance, detector, frame, array structure, pixel sizes), then the region of
// interest as signed 32-bit integers, byte-offset compressed, with MIME headers that carry the
// dimensions and an MD5 digest: what detectors write, so every CBF reader takes it. (An image
// whose neighbouring values lie exactly 2^31 apart is written uncompressed: the library's
// byte-offset coder cannot express that step.)
#include <sys/stat.h>
#include <unistd.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cbflib/cbf.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <future>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "core/cores.h"
#include "core/outputfile.h"
#include "data/Experiment.h"
#include "core/status.h"
#include "fileio/FCBF.h"
#include "fileio/FCBFSections.h"
#include "fileio/FDetectorMarks.h"
#include "fileio/FReaders.h"
#include "maths/MConvert.h"

namespace {

// The library's messages (it writes them to a FILE) gathered in memory, so that they reach
// the information window and the log instead of the terminal, after the warning of a call
// that failed. The remarks it makes on files it reads well (a first line longer than the
// syntax allows, as many writers make it) are not shown. A damaged file can make it write a
// line per byte ("invalid character"): the first 64 KiB are kept and the first 20 lines shown,
// the rest counted.
class LibraryLog {
 public:
  // `keep`: false for a log whose lines are dropped as they come.
  explicit LibraryLog(bool keep = true) : keep_(keep) {
    const cookie_io_functions_t io{nullptr, &LibraryLog::Take, nullptr, nullptr};
    stream_ = fopencookie(this, "w", io);
  }
  ~LibraryLog() {
    if (stream_) std::fclose(stream_);
  }
  LibraryLog(const LibraryLog&) = delete;
  LibraryLog& operator=(const LibraryLog&) = delete;
  std::FILE* Stream() const { return stream_; }
  // Every line written so far goes to the information window and the log.
  void Report(int& status) {
    if (!stream_ || std::fflush(stream_) != 0) return;
    std::size_t more = dropped_;
    std::size_t begin = reported_;
    while (begin < text_.size()) {
      std::size_t end = text_.find_first_of("\r\n", begin);
      if (end == std::string::npos) end = text_.size();
      if (end > begin) {
        if (shown_ < kShownLines) {
          IWrite(text_.substr(begin, std::min(end - begin, kLineLength)), status);
          ++shown_;
        } else {
          ++more;
        }
      }
      begin = end + 1;
    }
    if (more > 0) {
      IWrite(IFormat("(%zu more lines of the CBF library not shown)", more), status);
    }
    reported_ = text_.size();
    dropped_ = 0;
  }

 private:
  static ssize_t Take(void* cookie, const char* data, std::size_t size) {
    auto* log = static_cast<LibraryLog*>(cookie);
    if (!log->keep_) return static_cast<ssize_t>(size);
    const std::size_t room = kKept - std::min(kKept, log->text_.size());
    const std::size_t kept = std::min(room, size);
    log->text_.append(data, kept);
    log->dropped_ += static_cast<std::size_t>(std::count(data + kept, data + size, '\n'));
    return static_cast<ssize_t>(size);
  }

  static constexpr std::size_t kKept = 64 << 10;
  static constexpr int kShownLines = 20;
  std::string text_;
  std::size_t reported_ = 0;
  std::size_t dropped_ = 0;
  int shown_ = 0;
  bool keep_ = true;
  std::FILE* stream_ = nullptr;
};

// A library handle, freed on every path.
class Handle {
 public:
  Handle() = default;
  ~Handle() {
    if (handle_) cbf_free_handle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  int Make(LibraryLog& log) {
    const int error = cbf_make_handle(&handle_);
    if (error) {
      handle_ = nullptr;
      return error;
    }
    if (log.Stream()) cbf_set_cbf_logfile(handle_, log.Stream());
    return 0;
  }
  cbf_handle get() const { return handle_; }

 private:
  cbf_handle handle_ = nullptr;
};

// The names of the bits of a library status.
std::string ErrorText(int error) {
  static constexpr struct {
    int bit;
    const char* text;
  } kBits[] = {{CBF_FORMAT, "format error"},          {CBF_ALLOC, "out of memory"},
               {CBF_ARGUMENT, "bad argument"},        {CBF_ASCII, "bad text value"},
               {CBF_BINARY, "bad binary value"},      {CBF_BITCOUNT, "bad bit count"},
               {CBF_ENDOFDATA, "end of data"},        {CBF_FILECLOSE, "file close failed"},
               {CBF_FILEOPEN, "file open failed"},    {CBF_FILEREAD, "file read failed"},
               {CBF_FILESEEK, "file seek failed"},    {CBF_FILETELL, "file tell failed"},
               {CBF_FILEWRITE, "file write failed"},  {CBF_IDENTICAL, "duplicate name"},
               {CBF_NOTFOUND, "not found"},           {CBF_OVERFLOW, "value overflow"},
               {CBF_UNDEFINED, "undefined value"},    {CBF_NOTIMPLEMENTED, "not implemented"},
               {CBF_NOCOMPRESSION, "no compression"}, {CBF_SIZE, "bad size"}};
  std::string text;
  for (const auto& b : kBits) {
    if (error & b.bit) text += (text.empty() ? "" : ", ") + std::string(b.text);
  }
  return text.empty() ? "unknown error" : text;
}

// One warning for a failed library call, then the library's own lines.
int LibraryFailed(const char* routine, const char* call, int error, const std::string& fileName,
                  LibraryLog& log, int& status) {
  IWarning(IFormat("%s: CBF library error in %s, return status = %i (%s): %s", routine, call,
                   error, ErrorText(error).c_str(), fileName.c_str()),
           status);
  log.Report(status);
  return kFalse;
}

// What the file says about its image array.
struct ArrayDescription {
  int columns = 0;
  int rows = 0;
  unsigned int compression = 0;
  int binaryId = 0;
  std::size_t elementSize = 0;
  int elementSigned = 0;
  int elementUnsigned = 0;
  int real = 0;
  std::size_t elements = 0;
  std::int64_t fileLength = -1;
  // The row follows the mini-header convention of detectors that mark their module gaps with
  // -1 and bad pixels with -2 ("PILATUS_1.2").
  bool detectorMarks = false;
  // Counts at or above it are overloaded (the mini-header's "Count_cutoff"; 0: none given).
  std::int32_t countCutoff = 0;
  bool littleEndian = false;
};

// The most elements a binary section of `bytes` bytes can hold under a compression: one byte
// per element for byte offset, half for nibble offset, one bit for the Huffman codings, and
// 128 elements in a 6-bit block header for the packed codings.
std::int64_t Capacity(unsigned int compression, std::size_t elementSize, std::int64_t bytes) {
  switch (compression & CBF_COMPRESSION_MASK) {
    case CBF_NONE: return bytes / static_cast<std::int64_t>(elementSize ? elementSize : 1);
    case CBF_BYTE_OFFSET: return bytes;
    case CBF_NIBBLE_OFFSET: return 2 * bytes;
    case CBF_CANONICAL:
    case CBF_PREDICTOR: return 8 * bytes;
    default: return bytes * 8 / 6 * 128;
  }
}

// The array identifier of the image: the first "diffrn_frame_data" row names it; a minimal
// file has no such category, and then the "array_data" row (if it names one) does.
std::string ArrayIdentifier(cbf_handle h) {
  const char* value = nullptr;
  if (!cbf_find_category(h, "diffrn_frame_data") && !cbf_find_column(h, "array_id") &&
      !cbf_get_value(h, &value) && value) {
    return value;
  }
  value = nullptr;
  if (!cbf_find_category(h, "array_data") && !cbf_find_column(h, "array_id") &&
      !cbf_get_value(h, &value) && value) {
    return value;
  }
  return {};
}

// Dimensions from "array_structure_list": the rows of the identifier, precedence 1 the
// columns, 2 the rows. False with a warning for any other precedence (an array of more than
// two dimensions); dimensions not given stay 0.
int StructureDimensions(cbf_handle h, const std::string& id, const char* routine, bool say,
                        int& columns, int& rows, int& status) {
  columns = rows = 0;
  int panels = 1;
  if (id.empty() || cbf_find_category(h, "array_structure_list") || cbf_rewind_row(h) ||
      cbf_find_column(h, "array_id")) {
    return kTrue;
  }
  while (!cbf_find_nextrow(h, id.c_str())) {
    // Rows of a section of the array (a panel's part) describe no more than the section.
    const char* section = nullptr;
    if (!cbf_find_column(h, "array_section_id") && !cbf_get_value(h, &section) && section &&
        *section && std::strcmp(section, ".") != 0 && std::strcmp(section, "?") != 0 &&
        std::strcmp(section, id.c_str()) != 0) {
      if (cbf_find_column(h, "array_id")) break;
      continue;
    }
    int precedence = 0, dimension = 0;
    if (cbf_find_column(h, "precedence") || cbf_get_integervalue(h, &precedence) ||
        cbf_find_column(h, "dimension") || cbf_get_integervalue(h, &dimension)) {
      IWarning(IFormat("%s: An \"array_structure_list\" row of array %s lacks its precedence "
                       "or dimension",
                       routine, id.c_str()),
               status);
      return kFalse;
    }
    if (precedence == 1) {
      columns = dimension;
    } else if (precedence == 2) {
      rows = dimension;
    } else if (precedence == 3 && dimension >= 1) {
      panels = dimension;  // the panels of a detector of several modules
    } else {
      IWarning(IFormat("%s: The array has a dimension of precedence %i: only two-dimensional "
                       "images are read",
                       routine, precedence),
               status);
      return kFalse;
    }
    // The search goes on down the identifier column.
    if (cbf_find_column(h, "array_id")) break;
  }
  if (panels > 1) {
    // The panels are shown stacked, the first at the bottom: one image of all their rows.
    if (rows <= 0 || rows > std::numeric_limits<int>::max() / panels) {
      IWarning(IFormat("%s: Impossible image size: %i panels of %i * %i pixels", routine, panels,
                       columns, rows),
               status);
      return kFalse;
    }
    if (say) {
      IInfo(IFormat("The array holds %i panels of %i * %i pixels, shown stacked one above the "
                    "other",
                    panels, columns, rows),
            status);
    }
    rows *= panels;
  }
  return kTrue;
}

// The library writes a data name and its category into a 512-byte buffer on the stack when
// it reports a name inconsistent with its category, without checking their length: a name of
// some 230 characters without a '.' aborts the program (the C library's fortified sprintf) or
// overruns the stack (fuzzed files found this). CIF allows 75 characters; a file holding a
// longer run than kLongestName of non-blank bytes that starts with '_' after a blank is
// refused before the library reads it. The whole file is searched but for the binary data of
// the sections whose MIME header and closing line are followed exactly (FCBFScan):
// where the library resumes reading text after a binary section depends on sizes and
// boundaries that a broken file makes ambiguous (a fuzzed file hid its name behind a damaged
// closing boundary), and such a section is searched too. Packed data (CBFlib's own packed
// frames) holds runs that look like long names, so exact sections must be left out.
constexpr std::size_t kLongestName = 200;

inline bool CIFBlank(unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// A byte that can begin a name to the library: '_' (a data name) or the first letter of a
// reserved word that carries a name after its '_' ("loop_____..." overran the library's
// buffer as a long data name does).
inline bool CIFNameStart(unsigned char c) {
  const unsigned char lower = c | 0x20;
  return c == '_' || lower == 'd' || lower == 'l' || lower == 's' || lower == 'g';
}

bool NameLike(const unsigned char* head) {
  if (head[0] == '_') return true;
  static const char* const kWords[] = {"data_", "loop_", "save_", "global_", "stop_"};
  for (const char* word : kWords) {
    bool same = true;
    for (std::size_t k = 0; word[k] && same; ++k)
      same = std::tolower(head[k]) == static_cast<unsigned char>(word[k]);
    if (same) return true;
  }
  return false;
}

// Whether the token at `p` (5 bytes there) opens a save frame. The library dereferences a null
// pointer on a loop with a name without a category inside a save frame ("data_x save_a loop_
// _U", fuzzed files); save frames belong in dictionaries, never in image files, which are
// refused when they hold one.
bool SaveFrame(const unsigned char* p) {
  static const char kSave[] = "save_";
  for (std::size_t k = 0; k < 5; ++k)
    if (std::tolower(p[k]) != static_cast<unsigned char>(kSave[k])) return false;
  return true;
}

// Whether a name starting at `p` runs past kLongestName: its first kLongestName + 1 bytes
// are all non-blank (the caller guarantees they are there).
bool NameTooLong(const unsigned char* p) {
  for (std::size_t k = 0; k <= kLongestName; ++k)
    if (CIFBlank(p[k])) return false;
  return NameLike(p);
}

// The library dereferences a null pointer on a save frame that stands before any data block
// and holds a loop ("save_a loop_ _b", a fuzzed file). CIF allows only comments and blanks
// before the first data block, so a file whose first token is anything but "data_..." is
// refused before the library reads it. The first 4 KiB are looked at (a save frame further on
// is refused by the search of the whole file).
int BeginsWithDataBlock(std::span<const unsigned char> file, const char* routine,
                        const std::string& fileName, int& status) {
  const std::size_t got = std::min<std::size_t>(file.size(), 4096);
  const unsigned char* head = file.data();
  std::size_t i = 0;
  while (i < got) {
    const unsigned char c = head[i];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      ++i;
    } else if (c == '#') {
      while (i < got && head[i] != '\n' && head[i] != '\r') ++i;
    } else {
      static const char kData[] = "data_";
      for (std::size_t k = 0; k < 5; ++k) {
        if (i + k >= got || std::tolower(head[i + k]) != kData[k]) {
          IWarning(IFormat("%s: The file %s does not begin with a data block (data_)", routine,
                           fileName.c_str()),
                   status);
          return kFalse;
        }
      }
      return kTrue;
    }
  }
  return kTrue;  // nothing but comments: the library finds no data block itself
}

// Whether any of the 16 positions from `p` holds a name's first byte after a blank (p[-1] is
// read).
bool BlankThenNameStart(const unsigned char* p) {
#if defined(__SSE2__)
  const auto load = [](const unsigned char* q) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
  };
  const auto is = [](__m128i v, char c) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(c)); };
  const __m128i before = load(p - 1);
  const __m128i here = load(p);
  const __m128i lower = _mm_or_si128(here, _mm_set1_epi8(0x20));
  const __m128i blank = _mm_or_si128(_mm_or_si128(is(before, ' '), is(before, '\t')),
                                     _mm_or_si128(is(before, '\r'), is(before, '\n')));
  const __m128i start =
      _mm_or_si128(_mm_or_si128(is(here, '_'), is(lower, 'd')),
                   _mm_or_si128(_mm_or_si128(is(lower, 'l'), is(lower, 's')), is(lower, 'g')));
  return _mm_movemask_epi8(_mm_and_si128(blank, start)) != 0;
#else
  unsigned any = 0;
  for (int k = 0; k < 16; ++k)
    any |= static_cast<unsigned>(CIFBlank(p[k - 1])) & static_cast<unsigned>(CIFNameStart(p[k]));
  return any != 0;
#endif
}

// Whether the bytes from `begin` to `end` of `b` hold a name the library would overrun or a
// save frame (`b[begin - 1]` is read when begin > 0; a blank stands before the file).
int NamesFit(std::span<const unsigned char> b, std::size_t begin, std::size_t end,
             const char* routine, const std::string& fileName, int& status) {
  constexpr std::size_t kBlock = 16;
  for (std::size_t k = begin; k < end;) {
    // Positions are tested 16 at a time without branches (blank, then a name's first byte):
    // in image data such a pair is rare, so the search runs at the speed of reading.
    if (k > 0 && k + kBlock <= end && !BlankThenNameStart(b.data() + k)) {
      k += kBlock;
      continue;
    }
    const std::size_t stop = std::min(end, k + kBlock);
    for (; k < stop; ++k) {
      if (!CIFBlank(k > 0 ? b[k - 1] : '\n') || !CIFNameStart(b[k])) continue;
      if (b.size() - k > kLongestName && NameTooLong(b.data() + k)) {
        IWarning(IFormat("%s: The file %s holds a data name longer than %lld characters",
                         routine, fileName.c_str(), static_cast<long long>(kLongestName)),
                 status);
        return kFalse;
      }
      if (b.size() - k >= 5 && SaveFrame(b.data() + k)) {
        IWarning(IFormat("%s: The file %s holds a save frame (save_), which image files do "
                         "not",
                         routine, fileName.c_str()),
                 status);
        return kFalse;
      }
    }
  }
  return kTrue;
}

// The whole file in memory: read once, searched by the guards below, digested here and handed
// to the library as a stream over the same bytes (not mapped: a file cut short while it is
// read must not end the program).
//
// The bytes land in the buffer of the file read before on this thread when it is large enough:
// a fresh one of a frame's size costs thousands of page faults, as long as reading the file.
struct Buffer {
  std::unique_ptr<unsigned char[]> data;
  std::size_t capacity = 0;
};
thread_local Buffer tSpareBuffer;

struct FileBytes {
  std::unique_ptr<unsigned char[]> data;
  std::size_t capacity = 0;
  std::size_t size = 0;
  struct stat info {};  // the file's as it was read
  std::span<const unsigned char> View() const { return {data.get(), size}; }
};

// Room for `length` bytes, in the spare buffer when it is large enough; false when there is no
// memory for them.
bool AllocateBytes(FileBytes& bytes, std::size_t length) {
  if (tSpareBuffer.data && tSpareBuffer.capacity >= length) {
    bytes.data = std::move(tSpareBuffer.data);
    bytes.capacity = std::exchange(tSpareBuffer.capacity, 0);
    return true;
  }
  bytes.data.reset(new (std::nothrow) unsigned char[length > 0 ? length : 1]);
  bytes.capacity = bytes.data ? length : 0;
  return bytes.data != nullptr;
}

// When the routine that read them ends (after the library's handle and the digest thread are
// done with them): the buffer becomes the spare when it is the larger one and not out of all
// proportion to a frame.
class SpareOnExit {
 public:
  explicit SpareOnExit(FileBytes& bytes) : bytes_(bytes) {}
  SpareOnExit(const SpareOnExit&) = delete;
  SpareOnExit& operator=(const SpareOnExit&) = delete;
  ~SpareOnExit() {
    constexpr std::size_t kLargestSpare = std::size_t{64} << 20;
    if (bytes_.data && bytes_.capacity >= tSpareBuffer.capacity &&
        bytes_.capacity <= kLargestSpare) {
      tSpareBuffer.data = std::move(bytes_.data);
      tSpareBuffer.capacity = std::exchange(bytes_.capacity, 0);
    }
  }

 private:
  FileBytes& bytes_;
};

// The file the information routine read last on this thread, through its guards: the input
// routine that follows it (the pair is how every file is read) takes its bytes instead of
// reading the file again, when it is the same file (name, device, inode, size, time of change).
struct ReadAhead {
  std::string name;
  FileBytes bytes;
  FCBFLayout layout;
};
thread_local ReadAhead tReadAhead;

constexpr std::size_t kReadInHalvesFrom = std::size_t{4} << 20;

// Reads bytes `from` to `to` of the open file `descriptor` into the same places of `out`;
// `got`: how many were read before the file ended. False on a failed read.
bool ReadRange(int descriptor, unsigned char* out, std::size_t from, std::size_t to,
               std::size_t& got) {
  got = 0;
  while (from + got < to) {
    const ssize_t n = pread(descriptor, out + from + got, to - from - got,
                            static_cast<off_t>(from + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

// Reads the open file `descriptor` from its first byte (its own position is left as it is).
// What a file cut short while it is read holds is what is read.
int ReadWholeFile(int descriptor, const char* routine, const std::string& fileName,
                  FileBytes& bytes, int& status) {
  struct stat info {};
  if (descriptor < 0 || fstat(descriptor, &info) != 0 || info.st_size < 0) {
    IWarning(IFormat("%s: The file %s cannot be read", routine, fileName.c_str()), status);
    return kFalse;
  }
  const auto length = static_cast<std::size_t>(info.st_size);
  bytes.info = info;
  // The image it holds takes more memory than the file: a file that does not fit cannot be read.
  if (!AllocateBytes(bytes, length)) {
    IWarning(IFormat("%s: Not enough memory to read the file %s (%lld bytes)", routine,
                     fileName.c_str(), static_cast<long long>(length)),
             status);
    return kFalse;
  }
  // A large file is read in two halves at once where a second core may be used: the copy
  // from the page cache is most of the time of reading it, and it runs on either core.
  std::size_t got = 0;
  bool failed = false;
  const std::size_t half = length >= kReadInHalvesFrom ? length / 2 : length;
  if (half < length && ICoresAvailable() > 1) {
    std::size_t second = 0;
    bool secondFailed = false;
    std::thread other;
    try {
      other = std::thread([&] {
        secondFailed = !ReadRange(descriptor, bytes.data.get(), half, length, second);
      });
    } catch (const std::system_error&) {
      secondFailed = !ReadRange(descriptor, bytes.data.get(), half, length, second);
    }
    failed = !ReadRange(descriptor, bytes.data.get(), 0, half, got);
    if (other.joinable()) other.join();
    failed = failed || secondFailed;
    // What a file cut short while it is read holds is what lies before its first gap.
    if (got == half) got += second;
  } else {
    failed = !ReadRange(descriptor, bytes.data.get(), 0, length, got);
  }
  if (failed) {
    IWarning(IFormat("%s: The file %s cannot be read", routine, fileName.c_str()), status);
    return kFalse;
  }
  bytes.size = got;
  return kTrue;
}

// Refuses a file that does not begin with a data block, in which the library could take a text
// field for a binary section without a MIME header (FCBFSections.cpp), or whose text holds a
// name too long or a save frame. `layout` says where the binary sections lie.
int FitsLibrary(std::span<const unsigned char> file, const char* routine,
                const std::string& fileName, FCBFLayout& layout, int& status) {
  if (!BeginsWithDataBlock(file, routine, fileName, status)) return kFalse;
  layout = FCBFScan(file);
  if (layout.headerlessBinary) {
    IWarning(IFormat("%s: The file %s holds a binary section without a MIME header (an old or "
                     "damaged CBF), which is not read here",
                     routine, fileName.c_str()),
             status);
    return kFalse;
  }
  // Names are searched for wherever the library reads text: everywhere but the binary data it
  // passes over exactly (packed data holds runs that look like long names).
  std::size_t from = 0;
  for (const auto& [first, second] : layout.binaryRanges) {
    if (!NamesFit(file, from, first, routine, fileName, status)) return kFalse;
    from = second;
  }
  return NamesFit(file, from, file.size(), routine, fileName, status);
}

// Whether every binary section records a digest that lies in the file: then they are checked
// here with a fast MD5 (the library's own takes half the time of reading a large frame) and the
// library is told not to check them. Otherwise the library decides what a section without one
// means.
bool DigestsCheckedHere(std::span<const unsigned char> file,
                        const std::vector<FCBFSection>& sections) {
  if (sections.empty()) return false;
  for (const FCBFSection& s : sections) {
    if (s.md5.empty() || s.start > file.size() || s.size > file.size() - s.start) return false;
  }
  return true;
}

// Whether each section's data has the digest its header records (false for one that differs,
// or when no digest could be computed).
bool DigestsAgree(std::span<const unsigned char> file, const std::vector<FCBFSection>& sections) {
  for (const FCBFSection& s : sections) {
    unsigned char md5[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!EVP_Digest(file.data() + s.start, s.size, md5, &length, EVP_md5(), nullptr)) {
      return false;
    }
    unsigned char encoded[4 * EVP_MAX_MD_SIZE / 3 + 8];
    const int written = EVP_EncodeBlock(encoded, md5, static_cast<int>(length));
    if (written <= 0 ||
        std::string_view(reinterpret_cast<const char*>(encoded),
                          static_cast<std::size_t>(written)) != s.md5) {
      return false;
    }
  }
  return true;
}

// The data of the file's binary section when it has exactly one (empty otherwise).
std::span<const unsigned char> OnlySection(std::span<const unsigned char> file,
                                           const std::vector<FCBFSection>& sections) {
  if (sections.size() != 1) return {};
  const FCBFSection& s = sections.front();
  if (s.start > file.size() || s.size > file.size() - s.start) return {};
  return file.subspan(s.start, s.size);
}

int DigestDiffers(const char* routine, const std::string& fileName, int& status) {
  IWarning(IFormat("%s: The file %s is damaged: the digest of a binary section differs from the "
                   "one its header records",
                   routine, fileName.c_str()),
           status);
  return kFalse;
}

// Hands the file's bytes (already through FitsLibrary) to the library, `flags` saying whether
// it checks the message digests, and describes the image array: the handle is left at the
// binary section (`bytes` must outlive the handle, which reads the section from them). Every
// size is checked against the file's length before anything is allocated for it. `reading`:
// the image is read, not only described (the reading says what it finds).
int DescribeArray(const FileBytes& bytes, const char* routine, const std::string& fileName,
                  int flags, bool reading, Handle& handle, LibraryLog& log, ArrayDescription& a,
                  int& status) {
  const auto fileLength = static_cast<std::int64_t>(bytes.size);
  if (const int error = handle.Make(log)) {
    IWarning(IFormat("%s: Failed to create CBF handle, return status = %i", routine, error),
             status);
    return kFalse;
  }
  if (bytes.size == 0) {
    IWarning(IFormat("%s: The file %s is empty", routine, fileName.c_str()), status);
    return kFalse;
  }
  // The library reads a stream and closes it when the handle is freed; one over the bytes in
  // memory spares it a second read of the file.
  std::FILE* stream = fmemopen(bytes.data.get(), bytes.size, "rb");
  if (!stream) {
    IWarning(IFormat("%s: The file %s cannot be handed to the CBF library", routine,
                     fileName.c_str()),
             status);
    return kFalse;
  }
  cbf_handle h = handle.get();
  if (const int error = cbf_read_file(h, stream, flags)) {
    return LibraryFailed(routine, "cbf_read_file", error, fileName, log, status);
  }
  if (const int error = cbf_rewind_datablock(h)) {
    return LibraryFailed(routine, "cbf_rewind_datablock", error, fileName, log, status);
  }

  const std::string id = ArrayIdentifier(h);
  int columns = 0, rows = 0;
  // The reading says what it found; the description before it only looks.
  if (!StructureDimensions(h, id, routine, reading, columns, rows, status)) {
    return kFalse;
  }

  // The binary section: the "array_data" row of the identifier, or its only row.
  if (cbf_find_category(h, "array_data")) {
    IWarning(IFormat("%s: The file holds no image (no \"array_data\" category): %s", routine,
                     fileName.c_str()),
             status);
    return kFalse;
  }
  if (!id.empty() && !cbf_find_column(h, "array_id") && cbf_find_row(h, id.c_str())) {
    IWarning(IFormat("%s: No \"array_data\" row for array %s", routine, id.c_str()), status);
    return kFalse;
  }
  const char* convention = nullptr;
  a.detectorMarks = !cbf_find_column(h, "header_convention") &&
                    !cbf_get_value(h, &convention) && convention &&
                    std::strncmp(convention, "PILATUS", 7) == 0;
  const char* miniHeader = nullptr;
  if (a.detectorMarks && !cbf_find_column(h, "header_contents") &&
      !cbf_get_value(h, &miniHeader) && miniHeader) {
    a.countCutoff = static_cast<std::int32_t>(FPilatusCountCutoff(miniHeader));
  }
  if (const int error = cbf_find_column(h, "data")) {
    return LibraryFailed(routine, "cbf_find_column (data)", error, fileName, log, status);
  }
  const char* byteOrder = nullptr;
  std::size_t fast = 0, middle = 0, slow = 0, padding = 0;
  int minimum = 0, maximum = 0;
  if (const int error = cbf_get_arrayparameters_wdims_fs(
          h, &a.compression, &a.binaryId, &a.elementSize, &a.elementSigned, &a.elementUnsigned,
          &a.elements, &minimum, &maximum, &a.real, &byteOrder, &fast, &middle, &slow,
          &padding)) {
    return LibraryFailed(routine, "cbf_get_arrayparameters_wdims", error, fileName, log,
                         status);
  }
  a.littleEndian = byteOrder && std::strncmp(byteOrder, "little", 6) == 0;

  // The binary section's own dimensions serve where the categories give none.
  constexpr std::size_t kMaxInt = static_cast<std::size_t>(std::numeric_limits<int>::max());
  if (columns == 0 && rows == 0) {
    if (middle == 0 && fast > 0 && a.elements % fast == 0) {
      middle = a.elements / fast;
    } else if (slow > 1) {
      // Panels stacked, as their categories would have them.
      middle = middle > kMaxInt / slow ? kMaxInt + std::size_t{1} : middle * slow;
    }
    if (fast > kMaxInt || middle > kMaxInt) {
      IWarning(IFormat("%s: Impossible image size in the binary section: %zu * %zu pixels",
                       routine, fast, middle),
               status);
      return kFalse;
    }
    columns = static_cast<int>(fast);
    rows = static_cast<int>(middle);
  }
  if (columns <= 0 || rows <= 0) {
    IWarning(IFormat("%s: The image dimensions are not known (%i * %i pixels): %s", routine,
                     columns, rows, fileName.c_str()),
             status);
    return kFalse;
  }
  const auto pixels = static_cast<std::int64_t>(columns) * rows;
  if (a.elements != static_cast<std::size_t>(pixels)) {
    IWarning(IFormat("%s: The image is %i * %i pixels, but its binary section holds %zu elements",
                     routine, columns, rows, a.elements),
             status);
    return kFalse;
  }
  if (a.elementSize != 1 && a.elementSize != 2 && a.elementSize != 4 && a.elementSize != 8) {
    IWarning(IFormat("%s: Elements of %zu bytes cannot be read", routine, a.elementSize), status);
    return kFalse;
  }
  if (fileLength >= 0 && pixels > Capacity(a.compression, a.elementSize, fileLength)) {
    IWarning(IFormat("%s: The binary section claims %lld elements, more than a file of %lld "
                     "bytes can hold",
                     routine, static_cast<long long>(pixels), static_cast<long long>(fileLength)),
             status);
    return kFalse;
  }
  a.columns = columns;
  a.rows = rows;
  a.fileLength = fileLength;
  return kTrue;
}

// The detector's marks as the mask of the image: "Masked ..." said, nothing when there are none
// (the command that opened the file may lift the mask). Integrated as counts, gap pixels would
// pull down every bin near a gap.
void TakeMarks(IArray<unsigned char> mask, const FDetectorMarkCounts& marks,
               std::int32_t cutoff, DataSet& d, int& status) {
  if (marks.gaps + marks.bad + marks.overloaded == 0 || !mask) return;
  d.mask = std::move(mask);
  d.maskAllocated = d.maskDefined = d.maskInUse = kTrue;
  FSayDetectorMarks(marks, cutoff, status);
}

// Turns the n signed 32-bit integers the library stored in `data` into reals where they lie,
// `base` added to each first (with the wrap-around of 32-bit integers: a part of a section
// decoded on its own starts from 0 instead of the value before it). With `mask`, the pixels
// marked -1 (gaps) and -2 (bad) after that addition, and those at or above `cutoff` (when
// positive), are set in it and counted in the same pass (a second pass over the reals took as
// long as the conversion).
void IntegersToReals(float* data, std::int64_t n, unsigned char* mask, std::int32_t cutoff,
                     FDetectorMarkCounts& marks, std::int32_t base = 0) {
  marks = {};
  std::int64_t i = 0;
#if defined(__SSE2__)
  // Sixteen at a time: the same conversion (round to nearest), the marks compared as integers
  // and packed into sixteen mask bytes. Each counter lane counts a quarter of the pixels.
  const __m128i minusOne = _mm_set1_epi32(-1), minusTwo = _mm_set1_epi32(-2);
  const __m128i one = _mm_set1_epi8(1);
  __m128i gapLanes = _mm_setzero_si128(), badLanes = _mm_setzero_si128();
  __m128i overLanes = _mm_setzero_si128();
  // No count lies above the largest integer: without a cutoff nothing is overloaded.
  const __m128i below = _mm_set1_epi32(cutoff > 0 ? cutoff - 1 : INT32_MAX);
  const __m128i offset = _mm_set1_epi32(base);
  for (; i + 16 <= n; i += 16) {
    float* p = data + i;
    __m128i v[4];
    for (int k = 0; k < 4; ++k) {
      v[k] = _mm_add_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 4 * k)), offset);
      _mm_storeu_ps(p + 4 * k, _mm_cvtepi32_ps(v[k]));
    }
    if (!mask) continue;
    __m128i marked[4];
    for (int k = 0; k < 4; ++k) {
      const __m128i gap = _mm_cmpeq_epi32(v[k], minusOne);
      const __m128i broken = _mm_cmpeq_epi32(v[k], minusTwo);
      const __m128i over = _mm_cmpgt_epi32(v[k], below);
      gapLanes = _mm_sub_epi32(gapLanes, gap);
      badLanes = _mm_sub_epi32(badLanes, broken);
      overLanes = _mm_sub_epi32(overLanes, over);
      marked[k] = _mm_or_si128(_mm_or_si128(gap, broken), over);
    }
    const __m128i bytes = _mm_packs_epi16(_mm_packs_epi32(marked[0], marked[1]),
                                          _mm_packs_epi32(marked[2], marked[3]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(mask + i), _mm_and_si128(bytes, one));
  }
  alignas(16) std::uint32_t lanes[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), gapLanes);
  for (std::uint32_t c : lanes) marks.gaps += c;
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), badLanes);
  for (std::uint32_t c : lanes) marks.bad += c;
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), overLanes);
  for (std::uint32_t c : lanes) marks.overloaded += c;
#endif
  for (; i < n; ++i) {
    std::uint32_t stored;
    std::memcpy(&stored, &data[i], 4);
    const auto value = static_cast<std::int32_t>(stored + static_cast<std::uint32_t>(base));
    data[i] = static_cast<float>(value);
    if (mask) {
      const bool over = cutoff > 0 && value >= cutoff;
      mask[i] = value == -1 || value == -2 || over;
      marks.gaps += value == -1;
      marks.bad += value == -2;
      marks.overloaded += over;
    }
  }
}


// ---- One large byte-offset section decoded in parts ----------------------------------------
//
// The library decodes a byte-offset section one element at a time on one core (a 6M-pixel
// frame takes most of the time of reading it). A section of signed 32-bit integers is cut into
// parts at element boundaries found by a fast walk over its escapes; each part is handed to the
// library as a small CBF of its own (a MIME-headed section of that part's bytes, presented
// through a stream without copying them) and decoded on its own thread straight into its place
// in the image. A part's differences start from 0: the value of the element before it (the
// last value of the part before, as the library decoded it, plus that part's own start) is
// added to each of its elements in the conversion to reals, which runs in the part's thread,
// the detector's marks taken after the addition. Anything odd (a stream that ends early, a
// 64-bit difference, a part the library refuses or whose count differs) leaves the whole
// section to the one call of the library, which then says what it says of such a file.

constexpr std::size_t kMinimumPart = std::size_t{512} << 10;
constexpr unsigned kMostParts = 4;
std::atomic<std::size_t> gMinimumPart{kMinimumPart};
std::atomic<unsigned> gFixedParts{0};
thread_local unsigned tLastParts = 1;

// The byte positions in the byte-offset stream `s` at which the elements `firsts` (increasing,
// each > 0) start: a byte other than 0x80 is a difference; 0x80 escapes to a 16-bit one, whose
// value 0x8000 escapes to a 32-bit one, whose value 0x80000000 escapes to a 64-bit one (all
// little-endian). False for a stream that ends before an element or inside one, for a 64-bit
// difference, and for an element that would start at the stream's end. Blocks of 16 bytes
// without a 0x80 are 16 elements of one byte.
bool ElementStarts(std::span<const unsigned char> s, std::span<const std::size_t> firsts,
                   std::span<std::size_t> offsets) {
  const std::size_t size = s.size();
  std::size_t pos = 0, count = 0;
  for (std::size_t k = 0; k < firsts.size(); ++k) {
    const std::size_t target = firsts[k];
    if (target < count) return false;
    while (count < target) {
#if defined(__SSE2__)
      if (target - count >= 16 && size - pos >= 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.data() + pos));
        const auto escapes = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_cmpeq_epi8(block, _mm_set1_epi8(static_cast<char>(0x80)))));
        // The bytes before the first escape are elements of one byte each.
        const unsigned plain = escapes ? static_cast<unsigned>(__builtin_ctz(escapes)) : 16u;
        pos += plain;
        count += plain;
        if (plain == 16) continue;
      }
      if (count == target) break;
#endif
      if (pos >= size) return false;
      if (s[pos] != 0x80) {
        ++pos;
        ++count;
        continue;
      }
      if (size - pos < 3) return false;
      const unsigned short16 = s[pos + 1] | (static_cast<unsigned>(s[pos + 2]) << 8);
      if (short16 != 0x8000u) {
        pos += 3;
        ++count;
        continue;
      }
      if (size - pos < 7) return false;
      std::uint32_t long32 = 0;
      for (int b = 3; b >= 0; --b) long32 = (long32 << 8) | s[pos + 3 + static_cast<std::size_t>(b)];
      if (long32 == 0x80000000u) return false;
      pos += 7;
      ++count;
    }
    if (pos >= size) return false;
    offsets[k] = pos;
  }
  return true;
}

// A stream over a part's small CBF: its header text, the part's bytes where they lie in the
// file's buffer, and the closing lines.
class PartStream {
 public:
  PartStream(std::string_view head, std::span<const unsigned char> data, std::string_view tail)
      : pieces_{{reinterpret_cast<const unsigned char*>(head.data()), head.size()},
                data,
                {reinterpret_cast<const unsigned char*>(tail.data()), tail.size()}},
        size_(head.size() + data.size() + tail.size()) {}
  PartStream(const PartStream&) = delete;
  PartStream& operator=(const PartStream&) = delete;
  std::FILE* Open() {
    const cookie_io_functions_t io{&PartStream::Read, nullptr, &PartStream::Seek, nullptr};
    return fopencookie(this, "rb", io);
  }

 private:
  static ssize_t Read(void* cookie, char* out, std::size_t wanted) {
    auto* s = static_cast<PartStream*>(cookie);
    std::size_t given = 0, start = 0;
    for (const auto& piece : s->pieces_) {
      const std::size_t end = start + piece.size();
      if (given < wanted && s->position_ < end) {
        const std::size_t from = s->position_ - start;
        const std::size_t n = std::min(wanted - given, piece.size() - from);
        std::memcpy(out + given, piece.data() + from, n);
        given += n;
        s->position_ += n;
      }
      start = end;
    }
    return static_cast<ssize_t>(given);
  }
  static int Seek(void* cookie, off64_t* offset, int whence) {
    auto* s = static_cast<PartStream*>(cookie);
    const auto size = static_cast<off64_t>(s->size_);
    off64_t from = 0;
    if (whence == SEEK_CUR) from = static_cast<off64_t>(s->position_);
    else if (whence == SEEK_END) from = size;
    else if (whence != SEEK_SET) return -1;
    if (*offset < -from || *offset > size - from) return -1;
    *offset += from;
    s->position_ = static_cast<std::size_t>(*offset);
    return 0;
  }

  std::span<const unsigned char> pieces_[3];
  std::size_t size_;
  std::size_t position_ = 0;
};

// Lets the library decode `count` signed 32-bit elements from the byte-offset data `bytes`
// into `target`, which has room for one element per byte. True when it read them all.
bool DecodePart(std::span<const unsigned char> bytes, std::size_t count, std::int32_t* target) {
  char head[512];
  const int length = std::snprintf(
      head, sizeof head,
      "###CBF: VERSION 1.5\r\n\r\ndata_part\r\n\r\n_array_data.data\r\n;\r\n"
      "--CIF-BINARY-FORMAT-SECTION--\r\n"
      "Content-Type: application/octet-stream;\r\n"
      "     conversions=\"x-CBF_BYTE_OFFSET\"\r\n"
      "Content-Transfer-Encoding: BINARY\r\n"
      "X-Binary-Size: %zu\r\n"
      "X-Binary-ID: 1\r\n"
      "X-Binary-Element-Type: \"signed 32-bit integer\"\r\n"
      "X-Binary-Element-Byte-Order: LITTLE_ENDIAN\r\n"
      "X-Binary-Number-of-Elements: %zu\r\n"
      "X-Binary-Size-Fastest-Dimension: %zu\r\n"
      "X-Binary-Size-Second-Dimension: 1\r\n"
      "X-Binary-Size-Padding: 0\r\n\r\n\x0c\x1a\x04\xd5",
      bytes.size(), count, count);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof head) return false;
  static constexpr std::string_view kTail = "\r\n--CIF-BINARY-FORMAT-SECTION----\r\n;\r\n\r\n";
  PartStream source({head, static_cast<std::size_t>(length)}, bytes, kTail);
  LibraryLog log(false);  // a part's remarks are dropped: a failed part leaves the whole call
  Handle handle;
  if (handle.Make(log)) return false;
  std::FILE* stream = source.Open();
  if (!stream) return false;
  cbf_handle h = handle.get();
  // The library owns the stream from here and closes it with the handle (before `source`).
  int id = 0;
  std::size_t read = 0;
  return !cbf_read_file(h, stream, MSG_NODIGEST) && !cbf_rewind_datablock(h) &&
         !cbf_find_category(h, "array_data") && !cbf_find_column(h, "data") &&
         !cbf_get_integerarray(h, &id, target, sizeof(std::int32_t), 1, count, &read) &&
         read == count;
}

// The parts of the split decoding: their elements and bytes, and what each found.
struct Part {
  std::size_t first = 0, count = 0;  // elements
  std::size_t begin = 0, end = 0;    // bytes of the section
  FDetectorMarkCounts marks;
  bool done = false;
};

// Decodes the byte-offset section `section` of n signed 32-bit elements in parts into `data`
// (room for `room` elements), converts them to reals and marks the detector's marks in `mask`
// (when given). False, with nothing said, when the section is not split or a part failed: the
// caller then decodes the whole section with one call (overwriting whatever the parts wrote).
bool DecodeInParts(std::span<const unsigned char> section, std::int64_t n, std::int64_t room,
                   float* data, unsigned char* mask, std::int32_t cutoff,
                   FDetectorMarkCounts& marks) {
  const std::size_t elements = static_cast<std::size_t>(n);
  const unsigned fixed = gFixedParts.load(std::memory_order_relaxed);
  const std::size_t minimum = std::max<std::size_t>(1, gMinimumPart.load(std::memory_order_relaxed));
  std::size_t k = fixed > 0 ? fixed : std::min(ICoresAvailable(), kMostParts);
  k = std::min({k, std::size_t{kMostParts}, elements / minimum});
  if (k < 2 || section.size() > static_cast<std::size_t>(room)) return false;
  std::vector<std::size_t> firsts(k - 1), offsets(k - 1);
  for (std::size_t p = 1; p < k; ++p) firsts[p - 1] = p * elements / k;
  if (!ElementStarts(section, firsts, offsets)) return false;
  std::vector<Part> parts(k);
  for (std::size_t p = 0; p < k; ++p) {
    parts[p].first = p == 0 ? 0 : firsts[p - 1];
    parts[p].count = (p + 1 < k ? firsts[p] : elements) - parts[p].first;
    parts[p].begin = p == 0 ? 0 : offsets[p - 1];
    parts[p].end = p + 1 < k ? offsets[p] : section.size();
  }
  // The value before each part, as the parts before it are decoded: part p waits for p - 1's
  // (nothing when a part before failed).
  std::vector<std::promise<std::optional<std::uint32_t>>> before(k);
  std::vector<std::future<std::optional<std::uint32_t>>> known(k);
  for (std::size_t p = 0; p < k; ++p) known[p] = before[p].get_future();
  auto* integers = reinterpret_cast<std::int32_t*>(data);
  const auto run = [&](std::size_t p) {
    Part& part = parts[p];
    std::int32_t* target = integers + part.first;
    bool decoded = false;
    try {
      decoded = DecodePart(section.subspan(part.begin, part.end - part.begin), part.count, target);
    } catch (...) {
      decoded = false;
    }
    std::uint32_t last = 0;
    if (decoded) std::memcpy(&last, &target[part.count - 1], sizeof last);
    const std::optional<std::uint32_t> base =
        p == 0 ? std::optional<std::uint32_t>(0) : known[p - 1].get();
    before[p].set_value(decoded && base ? std::optional<std::uint32_t>(*base + last)
                                        : std::nullopt);
    if (!decoded || !base) return;
    IntegersToReals(data + part.first, static_cast<std::int64_t>(part.count),
                    mask ? mask + part.first : nullptr, cutoff, part.marks,
                    static_cast<std::int32_t>(*base));
    part.done = true;
  };
  // Parts 1.. on threads of their own, part 0 here (and any part that got no thread, in order:
  // a part only waits for those before it).
  // (Nothing is allocated while threads run: an exception there would end the program.)
  std::array<std::thread, kMostParts> threads;
  std::array<bool, kMostParts> here{};
  here[0] = true;
  for (std::size_t p = 1; p < k; ++p) {
    try {
      threads[p] = std::thread(run, p);
    } catch (const std::system_error&) {
      here[p] = true;
    }
  }
  for (std::size_t p = 0; p < k; ++p) {
    if (here[p]) run(p);
  }
  for (std::thread& t : threads) {
    if (t.joinable()) t.join();
  }
  marks = {};
  for (const Part& part : parts) {
    if (!part.done) return false;
    marks.gaps += part.marks.gaps;
    marks.bad += part.marks.bad;
    marks.overloaded += part.marks.overloaded;
  }
  tLastParts = static_cast<unsigned>(k);
  return true;
}

// Reads the array (the handle at its binary section) into the data set's reals.
// `section`: the bytes of the file's only binary section, read exactly by FCBFScan (empty
// where there is not one).
int ReadArray(cbf_handle h, const ArrayDescription& a, std::span<const unsigned char> section,
              const std::string& fileName, LibraryLog& log, DataSet& d, int& status) {
  static constexpr IRoutine kR{"FInputCBF", "V0.5"};
  const std::int64_t n = static_cast<std::int64_t>(a.columns) * a.rows;
  // Small elements widen to 32 bits in the library; 64-bit elements are read as they are.
  const std::size_t size = a.elementSize == 8 ? 8 : 4;
  // The library's byte-offset decoder stores every difference its section holds, however
  // many elements were asked for (at most one per byte): the array it fills has room for as
  // many as the file has bytes, and a count other than the image's refuses the file.
  std::int64_t room = n;
  if ((a.compression & CBF_COMPRESSION_MASK) == CBF_BYTE_OFFSET && a.fileLength > n) {
    room = a.fileLength;
  }
  if (!IAllocateData(a.columns, a.rows, d, status)) return kFalse;
  // Signed 32-bit integers (what detectors write) are decoded straight into the data array,
  // given a spare tail for that room, and turned into reals where they lie.
  const bool isSigned = a.elementSigned != 0;
  const bool inPlace = !a.real && size == 4 && isSigned && room - n <= n / 4 + 4096;
  if (inPlace && room > n) {
    IArray<float> larger;
    if (!IAllocateMemory("FInputCBF: DATA", room, larger, status)) {
      return IFail(kR, kStatusMemory, status);
    }
    d.data = std::move(larger);
  }
  tLastParts = 1;
  IArray<unsigned char> mask;
  if (inPlace && a.detectorMarks) {
    int local = kStatusGood;
    if (!IAllocateMemory("FInputCBF: detector marks", n, mask, local)) mask.reset();
  }
  if (inPlace && a.elementSize == 4 && a.compression == CBF_BYTE_OFFSET && a.littleEndian &&
      !section.empty()) {
    FDetectorMarkCounts marks;
    if (DecodeInParts(section, n, room, d.data.get(), mask.get(), a.countCutoff, marks)) {
      TakeMarks(std::move(mask), marks, a.countCutoff, d, status);
      return kTrue;
    }
  }
  IArray<unsigned char> scratch;
  if (!inPlace && !IAllocateMemory("FInputCBF: ARRAY", room * static_cast<std::int64_t>(size),
                                   scratch, status)) {
    return IFail(kR, kStatusMemory, status);
  }
  void* target = inPlace ? static_cast<void*>(d.data.get()) : static_cast<void*>(scratch.get());
  int id = a.binaryId;
  std::size_t read = 0;
  int error = 0;
  if (a.real) {
    error = cbf_get_realarray(h, &id, target, size, static_cast<std::size_t>(n), &read);
  } else {
    error = cbf_get_integerarray(h, &id, target, size, isSigned ? 1 : 0,
                                 static_cast<std::size_t>(n), &read);
  }
  if (error) {
    return LibraryFailed("FInputCBF", a.real ? "cbf_get_realarray" : "cbf_get_integerarray",
                         error, fileName, log, status);
  }
  if (read != static_cast<std::size_t>(n)) {
    IWarning(IFormat("FInputCBF: %zu elements read instead of %lld: %s", read,
                     static_cast<long long>(n), fileName.c_str()),
             status);
    return kFalse;
  }
  float* out = d.data.get();
  if (inPlace) {
    FDetectorMarkCounts marks;
    IntegersToReals(out, n, mask.get(), a.countCutoff, marks);
    TakeMarks(std::move(mask), marks, a.countCutoff, d, status);
    return kTrue;
  }
  const unsigned char* in = scratch.get();
  if (!a.real && size == 4 && isSigned) {
    if (!MVectorI2RCopy(n, reinterpret_cast<const std::int32_t*>(in), out, status)) return kFalse;
    if (a.detectorMarks) FMaskDetectorMarks(d, a.countCutoff, status);
    return kTrue;
  }
  for (std::int64_t i = 0; i < n; ++i) {
    const unsigned char* p = in + static_cast<std::size_t>(i) * size;
    if (a.real && size == 4) {
      std::memcpy(&out[i], p, 4);
    } else if (a.real) {
      double value;
      std::memcpy(&value, p, 8);
      out[i] = static_cast<float>(value);
    } else if (size == 4) {
      std::uint32_t value;
      std::memcpy(&value, p, 4);
      out[i] = static_cast<float>(value);
    } else if (isSigned) {
      std::int64_t value;
      std::memcpy(&value, p, 8);
      out[i] = static_cast<float>(value);
    } else {
      std::uint64_t value;
      std::memcpy(&value, p, 8);
      out[i] = static_cast<float>(value);
    }
  }
  if (a.detectorMarks) FMaskDetectorMarks(d, a.countCutoff, status);
  return kTrue;
}

}  // namespace

int FCBFDatasetInfo(std::FILE* file, const std::string& fileName, int, DatasetInfo& info,
                    int& status) {
  static constexpr IRoutine kR{"FCBFDatasetInfo", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  // The caller's stream is left where it is: the file is read from its first byte beside it.
  FileBytes bytes;
  const SpareOnExit spare(bytes);
  FCBFLayout layout;
  if (!ReadWholeFile(fileno(file), kR.name, fileName, bytes, status) ||
      !FitsLibrary(bytes.View(), kR.name, fileName, layout, status)) {
    return kFalse;
  }
  LibraryLog log;
  Handle handle;
  ArrayDescription a;
  // The dimensions need no digest: the read that follows checks it.
  if (!DescribeArray(bytes, kR.name, fileName, MSG_NODIGEST, false, handle, log, a, status)) {
    return kFalse;
  }
  info.columns = a.columns;
  info.rows = a.rows;
  info.images = 1;
  info.elementType = kElementUI4;
  // The handle goes before the bytes' new owner lets them go.
  tReadAhead.name = fileName;
  tReadAhead.bytes = std::move(bytes);
  tReadAhead.layout = std::move(layout);
  return kTrue;
}

void FCBFSetSplit(std::size_t minimumPart, unsigned parts) {
  gMinimumPart = minimumPart > 0 ? minimumPart : kMinimumPart;
  gFixedParts = std::min(parts, kMostParts);
}

unsigned FCBFLastParts() { return tLastParts; }

void FPilatusHeaderGeometry(const std::string& text, DataSet& d) {
  // Values outside what a detector can be are a damaged header, not a geometry.
  auto inside = [](double v, double low, double high) { return std::isfinite(v) && v >= low && v <= high; };
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    const std::size_t hash = line.find_first_not_of(" \t#");
    if (hash == std::string::npos) continue;
    line.erase(0, hash);
    double a = 0.0, b = 0.0;
    char unitA[16] = {0}, unitB[16] = {0};
    if (std::sscanf(line.c_str(), "Pixel_size %lf %15s x %lf %15s", &a, unitA, &b, unitB) == 4 &&
        std::strcmp(unitA, "m") == 0 && std::strcmp(unitB, "m") == 0 && inside(a, 1e-6, 1e-2) &&
        inside(b, 1e-6, 1e-2)) {
      d.pixelSizeX = static_cast<float>(a);
      d.pixelSizeY = static_cast<float>(b);
      d.headerGeometry |= kGeometryPixelSizeX | kGeometryPixelSizeY;
    } else if (std::sscanf(line.c_str(), "Wavelength %lf %15s", &a, unitA) == 2 &&
               (std::strcmp(unitA, "A") == 0 || std::strcmp(unitA, "Angstrom") == 0) &&
               inside(a, 0.01, 100.0)) {
      d.wavelength = static_cast<float>(a * 1.0e-10);
      d.headerGeometry |= kGeometryWavelength;
    } else if (std::sscanf(line.c_str(), "Detector_distance %lf %15s", &a, unitA) == 2 &&
               std::strcmp(unitA, "m") == 0 && inside(a, 1e-3, 100.0)) {
      d.distance = static_cast<float>(a);
      d.headerGeometry |= kGeometryDistance;
    } else if (std::sscanf(line.c_str(), "Beam_xy (%lf, %lf) %15s", &a, &b, unitA) == 3 &&
               std::strncmp(unitA, "pixel", 5) == 0 && inside(a, -1e6, 1e6) &&
               inside(b, -1e6, 1e6)) {
      // Pixel coordinates from the corner of the first pixel, along the fast and slow axes:
      // the columns and rows of the image as read.
      d.beamCentreX = static_cast<float>(a);
      d.beamCentreY = static_cast<float>(b);
      d.headerGeometry |= kGeometryBeamCentreX | kGeometryBeamCentreY;
    }
  }
}

namespace {

// The mini-header detectors write into "array_data.header_contents".
void TakeMiniHeaderGeometry(cbf_handle h, DataSet& d) {
  const char* value = nullptr;
  if (cbf_find_category(h, "array_data") || cbf_find_column(h, "header_contents") ||
      cbf_rewind_row(h) || cbf_get_value(h, &value) || !value) {
    return;
  }
  FPilatusHeaderGeometry(value, d);
}

}  // namespace

int FInputCBF(const std::string& fileName, DataSet& d, int& status) {
  static constexpr IRoutine kR{"FInputCBF", "V0.5"};
  if (IBad(kR, status)) return kFalse;
  bool refused = false;
  std::FILE* stream = FOpenInputFile(kR.name, fileName, "rb", refused, status);
  if (refused) return kFalse;
  if (!stream) return IFail(kR, kStatusFileOpen, status);
  FileBytes bytes;
  const SpareOnExit spare(bytes);
  FCBFLayout layout;
  ReadAhead ahead = std::move(tReadAhead);
  tReadAhead = ReadAhead{};
  struct stat now {};
  if (ahead.bytes.data && ahead.name == fileName && fstat(fileno(stream), &now) == 0 &&
      FSameFile(ahead.bytes.info, now)) {
    std::fclose(stream);
    bytes = std::move(ahead.bytes);  // read and searched by the information routine
    layout = std::move(ahead.layout);
  } else {
    ahead = ReadAhead{};
    const int whole = ReadWholeFile(fileno(stream), kR.name, fileName, bytes, status);
    std::fclose(stream);
    if (!whole || !FitsLibrary(bytes.View(), kR.name, fileName, layout, status)) return kFalse;
  }
  // The digests are computed on a second thread while the library decodes (they took half as
  // long as the decoding), where the process may use a second core; a file whose digest
  // differs is refused after it. The thread is joined on every path before the bytes go.
  const bool digestsHere = DigestsCheckedHere(bytes.View(), layout.sections);
  std::future<bool> digests;
  if (digestsHere && ICoresAvailable() > 1) {
    try {
      digests = std::async(std::launch::async,
                           [&] { return DigestsAgree(bytes.View(), layout.sections); });
    } catch (const std::system_error&) {
      // No thread to be had: they are computed after the decoding.
    }
  }
  LibraryLog log;
  Handle handle;
  ArrayDescription a;
  const bool read =
      DescribeArray(bytes, kR.name, fileName, digestsHere ? MSG_NODIGEST : MSG_DIGEST, true,
                    handle, log, a, status) &&
      ReadArray(handle.get(), a, OnlySection(bytes.View(), layout.sections), fileName, log, d,
                status);
  // A damaged section may also have stopped the library: the digest then says why.
  if (digestsHere &&
      !(digests.valid() ? digests.get() : DigestsAgree(bytes.View(), layout.sections))) {
    return DigestDiffers(kR.name, fileName, status);
  }
  if (!read) return kFalse;
  TakeMiniHeaderGeometry(handle.get(), d);
  FSetTitleFromFile(fileName, d, true);
  return kTrue;
}

int FOutputCBF(const std::string& fileName, const DataSet& d, int& status) {
  static constexpr IRoutine kR{"FOutputCBF", "V0.5"};
  static constexpr IRoutine kBinary{"FOutputcbf: Binary File:", ""};
  if (IBad(kR, status)) return kFalse;
  if (!ICheckDataLayout("FOutputCBF:", d, status)) return kFalse;
  if (!d.dataDefined || !d.data) {
    IWarning("FOutputCBF: Data is not defined", status);
    return kFalse;
  }

  LibraryLog log;
  Handle handle;
  if (const int error = handle.Make(log)) {
    IWarning(IFormat("Failed to create CBF handle, return status = %i", error), status);
    return kFalse;
  }
  cbf_handle h = handle.get();
  if (const int error = cbf_new_datablock(h, "image_1")) {
    IWarning(IFormat("Failed to create CBF datablock, return status = %i", error), status);
    log.Report(status);
    return kFalse;
  }

  // Every category and value call adds its status here; any failure fails the save.
  int error = 0;
  const auto category = [&](const char* name) { error |= cbf_new_category(h, name); };
  const auto text = [&](const char* column, const char* value) {
    error |= cbf_new_column(h, column);
    error |= cbf_set_value(h, value);
  };
  const auto integer = [&](const char* column, int value) {
    error |= cbf_new_column(h, column);
    error |= cbf_set_integervalue(h, value);
  };
  const auto real = [&](const char* column, const char* format, double value) {
    error |= cbf_new_column(h, column);
    error |= cbf_set_doublevalue(h, format, value);
  };
  // A category of two rows: the first column's values make the rows, later columns fill them.
  const auto pairOfText = [&](const char* column, const char* first, const char* second,
                              bool firstColumn) {
    error |= cbf_new_column(h, column);
    if (firstColumn) {
      error |= cbf_set_value(h, first);
      error |= cbf_new_row(h);
      error |= cbf_set_value(h, second);
    } else {
      error |= cbf_rewind_row(h);
      error |= cbf_set_value(h, first);
      error |= cbf_next_row(h);
      error |= cbf_set_value(h, second);
    }
  };
  const auto pairOfIntegers = [&](const char* column, int first, int second) {
    error |= cbf_new_column(h, column);
    error |= cbf_rewind_row(h);
    error |= cbf_set_integervalue(h, first);
    error |= cbf_next_row(h);
    error |= cbf_set_integervalue(h, second);
  };
  const auto pairOfReals = [&](const char* column, const char* format, double first,
                               double second) {
    error |= cbf_new_column(h, column);
    error |= cbf_rewind_row(h);
    error |= cbf_set_doublevalue(h, format, first);
    error |= cbf_next_row(h);
    error |= cbf_set_doublevalue(h, format, second);
  };

  const int width = d.endX - d.startX + 1;
  const int height = d.endY - d.startY + 1;

  category("diffrn");
  text("id", "DS1");

  category("diffrn_source");
  text("diffrn_id", "DS1");
  text("source", "synchrotron");
  text("type", "?");

  category("diffrn_radiation");
  text("diffrn_id", "DS1");
  text("wavelength_id", "L1");

  category("diffrn_radiation_wavelength");
  text("id", "L1");
  real("wavelength", "%.4f", static_cast<double>(d.wavelength) * 1.0e10);
  text("wt", "1.0");

  category("diffrn_measurement");
  text("diffrn_id", "DS1");
  text("method", "oscillation");
  real("sample_detector_distance", "%.4f", static_cast<double>(d.distance));

  category("diffrn_detector");
  text("id", "Generic");
  text("diffrn_id", "DS1");
  text("type", "?");

  category("diffrn_detector_element");
  integer("id", 1);
  text("detector_id", "Generic");

  category("diffrn_frame_data");
  text("id", "frame_1");
  integer("detector_element_id", 1);
  text("detector_id", "Generic");
  text("array_id", "image_1");
  integer("binary_id", 1);

  category("array_structure_list");
  pairOfText("array_id", "image_1", "image_1", true);
  pairOfIntegers("index", 1, 2);
  pairOfIntegers("dimension", width, height);
  pairOfIntegers("precedence", 1, 2);
  pairOfText("direction", "increasing", "increasing", false);

  // Pixel sizes in micrometres with an "e-6" exponent: the text reads as metres.
  category("array_element_size");
  pairOfText("array_id", "image_1", "image_1", true);
  pairOfIntegers("index", 1, 2);
  pairOfReals("size", "%.1fe-6", static_cast<double>(d.pixelSizeX) * 1.0e6,
              static_cast<double>(d.pixelSizeY) * 1.0e6);

  category("array_intensities");
  text("array_id", "image_1");
  integer("binary_id", 1);
  text("linearity", "linear");

  category("array_data");
  text("array_id", "image_1");
  integer("binary_id", 1);
  error |= cbf_new_column(h, "data");

  const std::int64_t n = static_cast<std::int64_t>(width) * height;
  IArray<std::int32_t> array;
  if (!IAllocateMemory("FOutputCBF: ARRAY", n, array, status)) {
    return IFail(kR, kStatusMemory, status);
  }
  std::int64_t clamped = 0;
  if (!MMatrixR2IROIMove(d.dimX, d.dimY, d.data.get(), d.startX, d.startY, d.endX, d.endY, width,
                         height, 0, 0, array.get(), clamped, status)) {
    return kFalse;
  }
  if (clamped > 0) {
    IWarning(IFormat("FOutputCBF: %lld values outside the signed 32-bit integer range (or not "
                     "numbers) were written as the nearest integer limit (not numbers as 0)",
                     static_cast<long long>(clamped)),
             status);
  }
  // The library's byte-offset coder writes a difference of 2^31 between neighbours (modulo
  // 2^32) as the marker of a 64-bit difference, which no reader can then decode; such an
  // image is written without compression.
  unsigned int compression = CBF_BYTE_OFFSET;
  std::uint32_t previous = 0;
  for (std::int64_t i = 0; i < n; ++i) {
    const auto value = static_cast<std::uint32_t>(array[i]);
    if (value - previous == 0x80000000u) {
      compression = CBF_NONE;
      INote("FOutputCBF: Neighbouring values lie 2^31 apart: the image is written without "
            "compression",
            status);
      break;
    }
    previous = value;
  }
  error |= cbf_set_integerarray_wdims_fs(h, compression, 1, array.get(), sizeof(std::int32_t), 1,
                                         static_cast<std::size_t>(n), "little_endian",
                                         static_cast<std::size_t>(width),
                                         static_cast<std::size_t>(height), 0, 0);
  if (error) {
    IWarning(IFormat("FOutputCBF: The CBF library could not build the file, return status = %i "
                     "(%s)",
                     error, ErrorText(error).c_str()),
             status);
    log.Report(status);
    return kFalse;
  }

  // The library writes into the temporary beside the target and leaves the stream to us
  // (not readable as a buffer, so it neither keeps nor closes it); the target is replaced
  // only after a complete write.
  IOutputFile out;
  if (!out.Open(fileName)) return IFail(kBinary, kStatusFileOpen, status);
  error = cbf_write_file(h, out.File(), 0, CBF, MIME_HEADERS | MSG_DIGEST, 0);
  if (error) {
    IWarning(IFormat("FOutputCBF: Problem writing the file, return status = %i (%s): %s", error,
                     ErrorText(error).c_str(), fileName.c_str()),
             status);
    log.Report(status);
    return kFalse;
  }
  if (!out.Commit()) {
    IWarning("FOutputCBF: Problem writing the file: " + fileName, status);
    return kFalse;
  }
  return kTrue;
}
