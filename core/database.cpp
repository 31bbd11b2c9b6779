// The internal data-base and its file.
#include "core/database.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "core/outputfile.h"
#include "core/status.h"
#include "core/text.h"

namespace {

struct Item {
  std::string key;
  std::string value;
};

std::vector<Item> gItems;

const char* const kFirstLine = "# Quorvel: Internal Data-Base File";
const char* const kWarningLine = "# DO NOT ALTER YOURSELF (unless you live life on the edge !)";
const char* const kEndLine = "# Quorvel: End of Internal Data-Base File";

std::string Cut(const std::string& text) {
  return text.size() > kLineLength ? text.substr(0, kLineLength) : text;
}

Item* Find(const std::string& key) {
  for (auto& item : gItems) {
    if (IStringsEqual(item.key, key)) return &item;
  }
  return nullptr;
}

bool IsBlankLine(const std::string& line) {
  for (char c : line) {
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return false;
  }
  return true;
}

}  // namespace

int IDataBaseItemCount() { return static_cast<int>(gItems.size()); }
void IClearDataBase() { gItems.clear(); }

int ISetDBItem(const std::string& key, const std::string& text, int& status) {
  static constexpr IRoutine kR{"ISetDBItem", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (Item* item = Find(key)) {
    item->value = Cut(text);
    return kTrue;
  }
  if (static_cast<int>(gItems.size()) >= kDataBaseMaxItems) return kFalse;  // full: dropped
  gItems.push_back({Cut(key), Cut(text)});
  return kTrue;
}

int ISetDBIntItem(const std::string& key, int value, int& status) {
  static constexpr IRoutine kR{"ISetDBIntItem", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  return ISetDBItem(key, IFormat("%i", value), status);
}

int ISetDBRealItem(const std::string& key, float value, int& status) {
  static constexpr IRoutine kR{"ISetDBREalItem", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  char buffer[512];
  std::snprintf(buffer, sizeof buffer, "%f", static_cast<double>(value));
  return ISetDBItem(key, buffer, status);
}

int ISetDBBooleanItem(const std::string& key, int value, int& status) {
  static constexpr IRoutine kR{"ISetDBBooleanItem", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  return ISetDBItem(key, value ? "True" : "False", status);
}

int IGetDBItem(const std::string& key, std::string& text, int& status) {
  static constexpr IRoutine kR{"IGetDBItem", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  const Item* item = Find(key);
  if (!item) return kFalse;
  text = item->value;
  return kTrue;
}

int IGetDBIntItem(const std::string& key, int& value, int& status) {
  static constexpr IRoutine kR{"IGetDBIntItem", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  const Item* item = Find(key);
  if (!item) return kFalse;
  return IToken2Integer(item->value, value, status);
}

int IGetDBRealItem(const std::string& key, float& value, int& status) {
  static constexpr IRoutine kR{"IGetDBRealItem", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  const Item* item = Find(key);
  if (!item) return kFalse;
  return IToken2Real(item->value, value, status);
}

int IGetDBBooleanItem(const std::string& key, int& value, int& status) {
  static constexpr IRoutine kR{"IGetDBBooleanItem", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  const Item* item = Find(key);
  if (!item) return kFalse;
  value = IStringsEqual(item->value, "True") ? kTrue : kFalse;
  return kTrue;
}

int ISaveDataBase(const std::string& path, int& status) {
  static constexpr IRoutine kR{"ISaveDataBase", "V0.4"};
  if (IBad(kR, status)) return kFalse;

  // Written beside the old file and renamed over it only when every byte reached the disk:
  // an interrupted or failed save never costs the settings already stored; a data-base file
  // the user made read-only is not replaced.
  IOutputFile out;
  if (!out.Open(path)) return IFail(kR, kStatusFileOpen, status);

  std::string text;
  text.reserve(64 + gItems.size() * 48);
  text += std::string(kFirstLine) + "\n\n" + kWarningLine + "\n\n";
  for (const auto& item : gItems) {
    if (!item.key.empty() && item.key[0] == '#') continue;
    text += item.key + " = " + item.value + ";\n";
  }
  text += std::string("\n") + kEndLine + "\n";

  const bool good = std::fwrite(text.data(), 1, text.size(), out.File()) == text.size() &&
                    out.Commit();
  if (!good) return IFail(kR, kStatusWrite, status);
  ISetSystemError(0);
  return kTrue;
}

int ILoadDataBase(const std::string& path, int& status) {
  static constexpr IRoutine kR{"ILoadDataBase", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (!file) return IFail(kR, kStatusFileOpen, status);
  struct Closer {
    std::FILE* f;
    ~Closer() { std::fclose(f); }
  } closer{file};

  std::string line;
  if (!IReadLine(file, 256, line)) return IFail(kR, kStatusRead, status);
  if (!IStringsEqual(line, kFirstLine)) {
    IWarning("ILoadDataBase; File is not a Quorvel data-base, or has been corrupted: " + line,
             status);
    return kFalse;
  }
  for (int i = 0; i < 3; ++i) IReadLine(file, 256, line);

  // A saved line holds a 255-character key and value with their separators, so lines are
  // read with room for both.
  constexpr int kCapacity = 1024;
  while (IReadLine(file, kCapacity, line)) {
    if (IStringsEqual(line, kEndLine)) return kTrue;
    if (IsBlankLine(line) || line[0] == '#') continue;

    const int equals = IFindCharacter(line, '=');
    const int semicolon = IFindLastCharacter(line, ';');
    if (equals < 0 || semicolon < 0 || semicolon < equals) {
      IWarning("ILoadDataBase; The Quorvel data-base file has been corrupted", status);
      return kTrue;
    }
    // The save writes "key = value;": drop the blank before "=" and the one after it. A
    // hand-edited line without those blanks loses a character on each side instead.
    const std::string key = line.substr(0, static_cast<std::size_t>(std::max(equals - 1, 0)));
    const int valueStart = std::min(equals + 2, semicolon);
    const std::string value = line.substr(static_cast<std::size_t>(valueStart),
                                          static_cast<std::size_t>(semicolon - valueStart));
    if (!ISetDBItem(key, value, status)) return kFalse;
  }
  IWarning("ILoadDataBase; The Quorvel data-base file has been corrupted", status);
  return kTrue;
}
