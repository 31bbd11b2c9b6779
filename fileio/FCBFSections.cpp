// The CBF library's lexer reads a text field (a line that begins with ';') character by
// character until the field's closing line (';' then a blank), a MIME boundary line (a binary
// section with its header follows), or a control byte 4 or 26. The last it takes for the start
// of a binary section of the kind written before MIME headers (1998), and it then formats
// values that only a MIME header sets: it reads through a pointer it never set (a fuzzed file
// found this; a real file whose boundary line was damaged in transfer leads there too). No
// writer has made such sections since, so a file in which the library could meet one is
// refused before the library reads it.
//
// The file is followed as the lexer follows it: text fields from their first line to their
// closing line; a MIME section's header for its binary size; its data passed over by that size,
// as the library passes over it (the data holds control bytes and ';' lines by chance); its
// closing line searched for from the end of the data (and from the end of the padding: the
// library starts at one or the other). A header this scan does not read exactly as the library
// would (comments, continued values, other encodings, no binary marker), or a closing line the
// two starts disagree on, leaves the rest of the file to a coarser search that cannot lose
// track: a control byte anywhere after a line that begins with ';'. Real files do not come to
// it: detectors, CBFlib and fabio write plain headers.
//
// The library's versions differ on NUL bytes (one skips them while reading characters, one
// keeps them and then stops comparing strings there): the file is followed once for each.
#include "fileio/FCBFSections.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr std::string_view kBoundary = "\n--cif-binary-format-section--";
// The bytes between a MIME header's blank line and the data.
constexpr unsigned char kMarker[4] = {0x0c, 0x1a, 0x04, 0xd5};
// Header lines longer than this are not read here (the coarse search takes over).
constexpr std::size_t kLongestHeaderLine = 4096;

bool Newline(int c) { return c == '\n' || c == '\r'; }
// isspace and isgraph of the C locale, whatever the program's locale is.
bool Space(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool Control(int c) { return c == 4 || c == 26; }
int Lower(int c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t k = 0; k < prefix.size(); ++k)
    if (Lower(static_cast<unsigned char>(text[k])) != Lower(static_cast<unsigned char>(prefix[k])))
      return false;
  return true;
}

// A whole number as the header gives it: blanks, digits, blanks (nothing else).
std::optional<std::uint64_t> PlainNumber(std::string_view text) {
  std::size_t k = 0;
  while (k < text.size() && (text[k] == ' ' || text[k] == '\t')) ++k;
  std::uint64_t value = 0;
  std::size_t digits = 0;
  for (; k < text.size() && text[k] >= '0' && text[k] <= '9'; ++k, ++digits) {
    if (digits == 15) return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(text[k] - '0');
  }
  while (k < text.size() && Space(static_cast<unsigned char>(text[k]))) ++k;
  if (digits == 0 || k != text.size()) return std::nullopt;
  return value;
}

// Whether a Content-Transfer-Encoding value is one the library reads as raw bytes.
bool RawEncoding(std::string_view value) {
  std::size_t k = 0;
  while (k < value.size() && (value[k] == ' ' || value[k] == '\t')) ++k;
  const bool quoted = k < value.size() && value[k] == '"';
  if (quoted) ++k;
  for (std::string_view name : {"binary", "8bit", "7bit"}) {
    if (!StartsWithNoCase(value.substr(k), name)) continue;
    const std::size_t after = k + name.size();
    if (after == value.size()) return true;
    const unsigned char c = static_cast<unsigned char>(value[after]);
    return Space(c) || (quoted && c == '"');
  }
  return false;
}

class Scanner {
 public:
  Scanner(std::span<const unsigned char> file, bool skipNul) : f_(file), skipNul_(skipNul) {}

  // The binary data passed over exactly (header read here, closing line agreed), in order.
  std::vector<std::pair<std::size_t, std::size_t>> skipped;
  std::vector<FCBFSection> sections;  // the same sections: their data and recorded digest

  bool HeaderlessBinary() {
    enum class State { kTop, kField };
    State state = State::kTop;
    int prev = '\n', prevprev = 0;  // as the library converts them: '\r' reads as '\n'
    std::size_t fieldStart = 0, fieldChars = 0;
    bool nulInField = false;
    for (std::size_t i = Visible(0); i < f_.size(); i = Visible(i + 1)) {
      const int c = f_[i];
      switch (state) {
        case State::kTop:
          if (c == ';' && Newline(prev)) {
            state = State::kField;
            fieldStart = i;
            fieldChars = 1;
            nulInField = false;
          }
          break;
        case State::kField:
          if (Control(c)) return true;
          if (Newline(prevprev) && prev == ';' && fieldChars >= 3 && Space(c)) {
            state = State::kTop;
            break;
          }
          ++fieldChars;
          if (c == 0) nulInField = true;
          if (c == '-' && !nulInField && BoundaryEndsAt(i, fieldStart)) {
            const std::optional<Data> data = DataAfter(i);
            if (!data) return Coarse(i + 1);
            const std::optional<std::size_t> closed = Closing(*data);
            if (!closed) return Coarse(data->end);
            if (*closed >= f_.size()) {
              // The library meets the end of the file while it looks for the closing line. When
              // the file ends with that line's ';' (fabio ends its files so, without a line end)
              // the data is passed over exactly; otherwise (a damaged closing line) its bytes
              // are still searched for names. Either way the data and its digest are known.
              if (data->end < f_.size()) {
                if (EndsWithClosingLine(data->end)) skipped.emplace_back(data->start, f_.size());
                sections.push_back({data->start, data->end - data->start, data->md5});
              }
              return false;
            }
            skipped.emplace_back(data->start, *closed);
            sections.push_back({data->start, data->end - data->start, data->md5});
            state = State::kTop;
            i = *closed;
            prevprev = ';';  // `i` is the blank after the closing ';'
            prev = Newline(f_[i]) ? '\n' : f_[i];
            continue;
          }
          break;
      }
      prevprev = prev;
      prev = Newline(c) ? '\n' : c;
    }
    return false;
  }

 private:
  std::size_t Visible(std::size_t i) const {
    if (skipNul_)
      while (i < f_.size() && f_[i] == 0) ++i;
    return i;
  }
  std::size_t PreviousVisible(std::size_t i) const {  // i > 0; returns f_.size() when none
    while (i > 0) {
      --i;
      if (!skipNul_ || f_[i] != 0) return i;
    }
    return f_.size();
  }

  // Whether the file's last bytes, after `from`, are a line end and the ';' of a closing line
  // (the search for the closing line from the data's end reached the end of the file: this
  // ';' is the line it looked for, the end of the file its blank).
  bool EndsWithClosingLine(std::size_t from) const {
    const std::size_t n = f_.size();
    return n >= 2 && n - 2 >= from && f_[n - 1] == ';' && Newline(f_[n - 2]);
  }

  // Whether the characters ending at `end` spell the boundary after the field's ';'.
  bool BoundaryEndsAt(std::size_t end, std::size_t fieldStart) const {
    std::size_t j = end;
    for (std::size_t k = kBoundary.size(); k-- > 0;) {
      if (j >= f_.size() || j <= fieldStart) return false;
      const int c = Newline(f_[j]) ? '\n' : Lower(f_[j]);
      if (c != kBoundary[k]) return false;
      if (k > 0) j = PreviousVisible(j);
    }
    return true;
  }

  // Reads a header line from `i` (visible characters, '\r' and '\n' end it, a pair of them
  // counts once); `i` moves past its end. False for an overlong line or the end of the file.
  bool ReadLine(std::size_t& i, std::string& line) const {
    line.clear();
    i = Visible(i);
    while (i < f_.size() && !Newline(f_[i])) {
      if (line.size() == kLongestHeaderLine) return false;
      line.push_back(static_cast<char>(f_[i]));
      i = Visible(i + 1);
    }
    if (i >= f_.size()) return false;
    const unsigned char end = f_[i];
    i = Visible(i + 1);
    if (i < f_.size() && Newline(f_[i]) && f_[i] != end) i = Visible(i + 1);
    return true;
  }

  // The data of the MIME section whose boundary ends at `boundaryEnd` (its end and the padding
  // after it), or nothing when its header is not read exactly here.
  struct Data {
    std::size_t end;
    std::uint64_t padding;
    std::size_t start = 0;
    std::string md5;  // "Content-MD5" as written, or empty
  };
  std::optional<Data> DataAfter(std::size_t boundaryEnd) const {
    // The library takes one more character (the boundary line's end), then reads lines.
    std::size_t i = Visible(boundaryEnd + 1);
    if (i >= f_.size() || !Newline(f_[i])) return std::nullopt;
    {
      const unsigned char end = f_[i];
      i = Visible(i + 1);
      if (i < f_.size() && Newline(f_[i]) && f_[i] != end) i = Visible(i + 1);
    }
    enum class Value { kOther, kEncoding, kSize, kPadding };
    Value last = Value::kOther;
    bool raw = false;
    std::string md5;
    std::uint64_t size = 0, padding = 0;
    std::string line;
    for (int count = 1;; ++count) {
      if (!ReadLine(i, line)) return std::nullopt;
      const std::string_view text(line);
      bool blank = true;
      for (char ch : text) blank = blank && Space(static_cast<unsigned char>(ch));
      if (count > 1 && blank) break;
      if ((!text.empty() && text[0] == ';') || text.find('(') != std::string_view::npos ||
          text.find('\0') != text.npos || StartsWithNoCase(text, kBoundary.substr(1))) {
        return std::nullopt;
      }
      if (!text.empty() && (text[0] == ' ' || text[0] == '\t')) {
        // A continued value: the library gives it to the item above.
        if (last != Value::kOther) return std::nullopt;
        continue;
      }
      std::size_t colon = 0;
      while (colon < text.size() && text[colon] != ':' && text[colon] > 32 && text[colon] < 127)
        ++colon;
      if (colon == 0 || colon == text.size() || text[colon] != ':') return std::nullopt;
      const std::string_view value = text.substr(colon + 1);
      last = Value::kOther;
      if (StartsWithNoCase(text, "Content-Transfer-Encoding:")) {
        last = Value::kEncoding;
        raw = RawEncoding(value);
      } else if (StartsWithNoCase(text, "X-Binary-Size:")) {
        last = Value::kSize;
        const auto n = PlainNumber(value);
        if (!n) return std::nullopt;
        size = *n;
      } else if (StartsWithNoCase(text, "Content-MD5:")) {
        std::string_view v = value;
        while (!v.empty() && Space(static_cast<unsigned char>(v.front()))) v.remove_prefix(1);
        while (!v.empty() && Space(static_cast<unsigned char>(v.back()))) v.remove_suffix(1);
        md5 = std::string(v);
      } else if (StartsWithNoCase(text, "X-Binary-Size-Padding:")) {
        last = Value::kPadding;
        const auto n = PlainNumber(value);
        if (!n) return std::nullopt;
        padding = *n;
      }
    }
    if (!raw) return std::nullopt;
    // The marker, raw bytes, then the data.
    for (unsigned char m : kMarker) {
      if (i >= f_.size() || f_[i] != m) return std::nullopt;
      ++i;
    }
    if (size >= f_.size() - i) return Data{f_.size(), 0, i, {}};
    return Data{i + static_cast<std::size_t>(size), padding, i, md5};
  }

  // Where the library's search for the closing line of a binary section started at `from` ends:
  // the blank after the ';' (the end of the file when there is none). `skipFirst`: the first
  // character read is dropped as the second half of a line-end pair.
  std::size_t ClosingFrom(std::size_t from, bool skipFirst) const {
    std::size_t i = Visible(from);
    if (skipFirst && i < f_.size()) i = Visible(i + 1);
    int prev = 0, prevprev = 0;
    for (; i < f_.size(); i = Visible(i + 1)) {
      const int c = f_[i];
      if (Newline(prevprev) && prev == ';' && Space(c)) return i;
      prevprev = prev;
      prev = Newline(c) ? '\n' : c;
    }
    return f_.size();
  }

  // The end of the search for a section's closing line, when every way the library may read
  // the data agrees on it: with the message-digest check the search starts at the end of the
  // data, without it after the padding; a line end first may be dropped as half of a pair with
  // the data's last byte.
  std::optional<std::size_t> Closing(const Data& data) const {
    std::optional<std::size_t> agreed;
    const auto add = [&](std::size_t from) {
      const std::size_t first = Visible(from);
      const bool pair = first < f_.size() && from > 0 && Newline(f_[first]) && Newline(f_[from - 1]);
      for (int skip = 0; skip <= (pair ? 1 : 0); ++skip) {
        const std::size_t end = ClosingFrom(from, skip == 1);
        if (agreed && *agreed != end) return false;
        agreed = end;
      }
      return true;
    };
    if (data.end >= f_.size()) return f_.size();
    if (!add(data.end)) return std::nullopt;
    if (data.padding > 0 && data.padding < f_.size() - data.end &&
        !add(data.end + static_cast<std::size_t>(data.padding))) {
      return std::nullopt;
    }
    return agreed;
  }

  // The coarse search from `i` (where the library is in no text field) to the end: a control
  // byte anywhere after a line that begins with ';'. (Such a line ends a field or opens one,
  // and a boundary after a NUL byte goes unseen: no state is trusted.)
  bool Coarse(std::size_t i) const {
    int prev = 0;
    for (i = Visible(i); i < f_.size(); i = Visible(i + 1)) {
      const int c = f_[i];
      if (c == ';' && Newline(prev)) {
        for (std::size_t k = i + 1; k < f_.size(); ++k)
          if (Control(f_[k])) return true;
        return false;
      }
      prev = Newline(c) ? '\n' : c;
    }
    return false;
  }

  std::span<const unsigned char> f_;
  bool skipNul_;
};

}  // namespace

FCBFLayout FCBFScan(std::span<const unsigned char> file) {
  Scanner plain(file, false), skipping(file, true);
  FCBFLayout layout;
  // Both scanners run whole: each stops at what it cannot follow, and what it found before
  // stands.
  const bool a = plain.HeaderlessBinary();
  const bool b = skipping.HeaderlessBinary();
  layout.headerlessBinary = a || b;
  // Only what both of the library's ways with NUL bytes pass over.
  std::size_t k = 0;
  for (const auto& [first, second] : plain.skipped) {
    while (k < skipping.skipped.size() && skipping.skipped[k].second <= first) ++k;
    for (std::size_t j = k; j < skipping.skipped.size() && skipping.skipped[j].first < second; ++j) {
      const std::size_t lo = std::max(first, skipping.skipped[j].first);
      const std::size_t hi = std::min(second, skipping.skipped[j].second);
      if (lo < hi) layout.binaryRanges.emplace_back(lo, hi);
    }
  }
  for (const FCBFSection& x : plain.sections) {
    for (const FCBFSection& y : skipping.sections) {
      if (x.start == y.start && x.size == y.size && x.md5 == y.md5) layout.sections.push_back(x);
    }
  }
  return layout;
}

bool FCBFHeaderlessBinary(std::span<const unsigned char> file) {
  return FCBFScan(file).headerlessBinary;
}
