// Text, token, file-name, byte and time utilities.
#include "core/text.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "core/status.h"

namespace {

const std::string kDefaultSeparators = std::string(" ,\t");
std::string gSeparators = kDefaultSeparators;

bool IsTrailingSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool IsSeparator(char c) { return gSeparators.find(c) != std::string::npos; }

std::string CutText(std::string text) {
  if (text.size() > kLineLength) text.resize(kLineLength);
  return text;
}

}  // namespace

int ITrimmedLength(const std::string& text) {
  std::size_t n = text.size();
  // A text ends at its terminator, as it always has for fixed buffers.
  const std::size_t nul = text.find('\0');
  if (nul != std::string::npos) n = nul;
  while (n > 0 && IsTrailingSpace(text[n - 1])) --n;
  return static_cast<int>(n);
}

int IStringsEqual(const std::string& a, const std::string& b) {
  const int n = ITrimmedLength(a);
  if (n != ITrimmedLength(b)) return kFalse;
  return std::memcmp(a.data(), b.data(), static_cast<std::size_t>(n)) == 0 ? kTrue : kFalse;
}

int IFindCharacter(const std::string& text, char c) {
  const int n = ITrimmedLength(text);
  for (int i = 0; i < n; ++i) {
    if (text[i] == c) return i;
  }
  return -1;
}

int IFindLastCharacter(const std::string& text, char c) {
  for (int i = ITrimmedLength(text) - 1; i >= 0; --i) {
    if (text[i] == c) return i;
  }
  return -1;
}

int IFirstNonBlank(const std::string& text, int from) {
  const int n = ITrimmedLength(text);
  for (int i = std::max(from, 0); i < n; ++i) {
    if (text[i] != ' ' && text[i] != '\t') return i;
  }
  return -1;
}

int IFindText(const std::string& text, int from, const std::string& pattern) {
  if (from < 0 || from > ITrimmedLength(text)) return -1;
  const std::size_t at = text.find(pattern, static_cast<std::size_t>(from));
  return at == std::string::npos ? -1 : static_cast<int>(at);
}

int IReadLine(std::FILE* file, int capacity, std::string& text) {
  text.clear();
  if (!file) return kFalse;
  const std::size_t keep = capacity > 1 ? static_cast<std::size_t>(capacity - 1) : 0;
  bool any = false;
  int c;
  while ((c = std::fgetc(file)) != EOF) {
    any = true;
    if (c == '\n') break;
    if (c == '\r' || c == '\0') continue;
    if (text.size() < keep) text.push_back(static_cast<char>(c));
  }
  return any ? kTrue : kFalse;
}

int IStringCopy(const std::string& source, std::string& target, int& status) {
  static constexpr IRoutine kR{"IStringCopy", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  target = source;
  return kTrue;
}

int ISubString(const std::string& source, int start, int end, std::string& target, int& status) {
  static constexpr IRoutine kR{"ISubString", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  const int size = static_cast<int>(source.size());
  start = std::clamp(start, 0, size);
  end = std::clamp(end, start, size);
  target = source.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start));
  return kTrue;
}

int IConvertUpperCase(std::string& text, int& status) {
  static constexpr IRoutine kR{"IConvertUpperCase", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  const int n = ITrimmedLength(text);
  for (int i = 0; i < n; ++i) {
    if (text[i] >= 'a' && text[i] <= 'z') text[i] = static_cast<char>(text[i] - 'a' + 'A');
  }
  return kTrue;
}

int IDefSeparators(int& status) {
  static constexpr IRoutine kR{"IDefSeparators", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  gSeparators = kDefaultSeparators;
  return kTrue;
}

int IDefault(int& status) {
  static constexpr IRoutine kR{"IDefault", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  return IDefSeparators(status);
}

int ISetSeparators(const std::string& separators, int& status) {
  static constexpr IRoutine kR{"ISetSeparators", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  if (separators.empty()) return IFail(kR, kStatusDim1Illegal, status);
  gSeparators = separators;
  return kTrue;
}

const std::string& ISeparators() { return gSeparators; }

int IFindToken(const std::string& text, int start, int& tokenStart, int& tokenLength,
               int& status) {
  static constexpr IRoutine kR{"IFindToken", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  const int n = ITrimmedLength(text);
  if (start < 0) start = 0;
  if (start >= n) return kFalse;
  int i = start;
  while (i < n && IsSeparator(text[i])) ++i;
  if (i >= n) return kFalse;
  tokenStart = i;
  while (i < n && !IsSeparator(text[i])) ++i;
  tokenLength = i - tokenStart;
  return kTrue;
}

int IString2Tokens(const std::string& text, int maxTokens, int& count,
                   std::vector<std::string>& tokens, int& status) {
  static constexpr IRoutine kR{"IString2Tokens", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (maxTokens <= 0) return IFail(kR, kStatusDim1Illegal, status);
  const int n = ITrimmedLength(text);
  count = 0;
  tokens.clear();
  int position = 0;
  int tokenStart = 0;
  int tokenLength = 0;
  while (position < n) {
    if (!IFindToken(text, position, tokenStart, tokenLength, status)) {
      position = n;  // only separators remain: the text is consumed
      break;
    }
    tokens.push_back(CutText(text.substr(static_cast<std::size_t>(tokenStart),
                                         static_cast<std::size_t>(tokenLength))));
    ++count;
    position = tokenStart + tokenLength;
    if (count >= maxTokens) {
      // Consumed unless a further token follows.
      int more = 0, moreLength = 0;
      if (!IFindToken(text, position, more, moreLength, status)) position = n;
      break;
    }
  }
  return position >= n - 1 ? kTrue : kFalse;
}

int IToken2Integer(const std::string& token, int& value, int& status) {
  static constexpr IRoutine kR{"IToken2Integer", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  const std::string trimmed = token.substr(0, static_cast<std::size_t>(ITrimmedLength(token)));
  if (trimmed.empty()) return kFalse;
  // "%i" form: decimal, 0x hexadecimal or leading-zero octal, optional sign; the rest of the
  // token after the number is ignored.
  errno = 0;
  char* end = nullptr;
  const long long parsed = std::strtoll(trimmed.c_str(), &end, 0);
  if (end == trimmed.c_str()) return kFalse;
  if (errno == ERANGE || parsed < INT_MIN || parsed > INT_MAX) {
    errno = 0;
    return kFalse;
  }
  value = static_cast<int>(parsed);
  return kTrue;
}

int IToken2Real(const std::string& token, float& value, int& status) {
  static constexpr IRoutine kR{"IToken2Real", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  const std::string trimmed = token.substr(0, static_cast<std::size_t>(ITrimmedLength(token)));
  if (trimmed.empty()) return kFalse;
  char* end = nullptr;
  const int savedErrno = errno;
  const float parsed = std::strtof(trimmed.c_str(), &end);
  errno = savedErrno;  // range errors give +-HUGE_VALF or 0, as "%f" does
  if (end == trimmed.c_str()) return kFalse;
  value = parsed;
  return kTrue;
}

int IReal2Token(int fixed, float value, std::string& text, int& status) {
  static constexpr IRoutine kR{"IReal2Token", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (!fixed) {
    IWarning("IReal2Token: NYI", status);
    return kFalse;
  }
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%5.4g", static_cast<double>(value));
  const char* start = buffer;
  while (*start == ' ') ++start;
  text = start;
  return kTrue;
}

int IString2Wide(const std::string& text, int capacity, std::wstring& wide, int& status) {
  static constexpr IRoutine kR{"IString2Wide", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  wide.clear();
  const std::size_t limit = capacity > 1 ? static_cast<std::size_t>(capacity - 1) : 0;
  // Texts are UTF-8 here; a byte that does not start a valid sequence is taken as Latin-1,
  // so no input is ever refused.
  const auto* p = reinterpret_cast<const unsigned char*>(text.c_str());
  const std::size_t n = std::strlen(text.c_str());
  std::size_t i = 0;
  while (i < n && wide.size() < limit) {
    const unsigned char c = p[i];
    unsigned int code = c;
    std::size_t length = 1;
    if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
      code = c & 0x1Fu;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      code = c & 0x0Fu;
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      code = c & 0x07u;
    }
    bool valid = length == 1 || i + length <= n;
    for (std::size_t k = 1; valid && k < length; ++k) {
      if ((p[i + k] & 0xC0u) != 0x80u) valid = false;
      code = (code << 6) | (p[i + k] & 0x3Fu);
    }
    if (!valid) {
      code = c;
      length = 1;
    }
    wide.push_back(static_cast<wchar_t>(code));
    i += length;
  }
  return wide.empty() ? kFalse : kTrue;
}

std::int32_t IBytes2Integer(int swap, int count, unsigned char* bytes) {
  if (count < 1 || count > 4) {
    IMessageBox(IFormat("IBytes2Integer: num_bytes = %i (Only 1 to 4) allowed", count),
                "Message:", IBoxIcon::kInformation);
    return 0x7FFFFFFF;
  }
  if (swap) std::reverse(bytes, bytes + count);
  std::uint32_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = (value << 8) | bytes[i];
  return static_cast<std::int32_t>(value);  // 4 bytes read as signed, fewer as unsigned
}

bool INaturalLess(const std::string& a, const std::string& b) {
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (digit(a[i]) && digit(b[j])) {
      // Two numbers: the one with more significant digits is larger, else the first digit
      // that differs decides. A digit run of any length compares without overflow.
      std::size_t si = i, sj = j;
      while (si < a.size() && a[si] == '0') ++si;
      while (sj < b.size() && b[sj] == '0') ++sj;
      std::size_t ei = si, ej = sj;
      while (ei < a.size() && digit(a[ei])) ++ei;
      while (ej < b.size() && digit(b[ej])) ++ej;
      if (ei - si != ej - sj) return ei - si < ej - sj;
      const int order = a.compare(si, ei - si, b, sj, ej - sj);
      if (order != 0) return order < 0;
      i = ei;
      j = ej;
      continue;
    }
    const auto ca = static_cast<unsigned char>(a[i]), cb = static_cast<unsigned char>(b[j]);
    if (ca != cb) return ca < cb;
    ++i;
    ++j;
  }
  if (i < a.size() || j < b.size()) return j < b.size();
  return a < b;  // equal numbers written with other leading zeros
}

int ISortStrings(std::vector<std::string>& texts, int& status) {
  static constexpr IRoutine kR{"ISortStrings", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  std::sort(texts.begin(), texts.end(), INaturalLess);
  return kTrue;
}

int IChangeFileExtension(const std::string& extension, std::string& fileName, int& status) {
  static constexpr IRoutine kR{"IChangeFileExtension", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  std::string bare = extension;
  if (!bare.empty() && bare[0] == '.') bare.erase(0, 1);
  bare.resize(static_cast<std::size_t>(ITrimmedLength(bare)));
  const int n = ITrimmedLength(fileName);
  const int dot = IFindLastCharacter(fileName, '.');
  if (dot >= 0) {
    fileName = fileName.substr(0, static_cast<std::size_t>(dot) + 1) + bare;
  } else {
    fileName = fileName.substr(0, static_cast<std::size_t>(n)) + "." + bare;
  }
  return kTrue;
}

int IGetFileDirectory(const std::string& path, std::string& directory, int& status) {
  static constexpr IRoutine kR{"IGetFileDirectory", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  const int slash = IFindLastCharacter(path, '/');
  if (slash >= 0) directory = path.substr(0, static_cast<std::size_t>(slash) + 1);
  return kTrue;
}

int IGetFileName(const std::string& path, std::string& name, int& status) {
  static constexpr IRoutine kR{"IGetFileName", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  const int n = ITrimmedLength(path);
  const int slash = IFindLastCharacter(path, '/');
  if (slash >= 0) {
    name = path.substr(static_cast<std::size_t>(slash) + 1,
                       static_cast<std::size_t>(n - slash - 1));
  }
  return kTrue;
}

std::string IFormatDateTime(const std::tm& local) {
  static const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const int month = std::clamp(local.tm_mon, 0, 11);
  return IFormat("%.2i-%s-%.4i %.2i:%.2i:%.2i", local.tm_mday, kMonths[month],
                 local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec);
}

int IDateTime(std::string& text, int& status) {
  static constexpr IRoutine kR{"IDateTime", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (!localtime_r(&now, &local)) return IFail(kR, kStatusOther, status);
  text = IFormatDateTime(local);
  return kTrue;
}

int ISleep(float seconds, int& status) {
  static constexpr IRoutine kR{"ISleep", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (!(seconds >= 0.0f)) return IFail(kR, kStatusRealRange1, status);
  const auto ms = std::llround(static_cast<double>(seconds) * 1000.0);
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  return kTrue;
}

double IElapsedSeconds() {
  return static_cast<double>(std::clock()) / static_cast<double>(CLOCKS_PER_SEC);
}
