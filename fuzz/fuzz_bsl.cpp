// Detection and the BSL reader: a header file and the binary file its first data-set names.
// The input is the header, then kFuzzBinarySeparator and the binary's bytes.
#include <cctype>
#include <cstdio>
#include <string>

#include "fileio/FInput.h"
#include "fuzz/FuzzSupport.h"

namespace {

// The binary file name on the header's fourth line, when it is a plain name in the folder.
std::string BinaryName(std::string_view header) {
  std::size_t start = 0;
  for (int line = 0; line < 3; ++line) {
    const std::size_t end = header.find('\n', start);
    if (end == std::string_view::npos) return "A01000.BSL";
    start = end + 1;
  }
  std::string name(header.substr(start, header.find('\n', start) - start));
  while (!name.empty() && (name.back() == ' ' || name.back() == '\r')) name.pop_back();
  if (name.empty() || name.size() > 64 || name == "." || name == ".." ||
      name == "A00000.BSL") {
    return "A01000.BSL";
  }
  for (char c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-') {
      return "A01000.BSL";
    }
  }
  return name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const int kForced[] = {kFormatBSL, kFormatNone};
  std::string_view header, binary;
  FuzzSplit({reinterpret_cast<const char*>(data), size}, header, binary);
  const std::string name = BinaryName(header);
  const std::string binaryPath = FuzzWriteFile(name, binary);
  const std::string path = FuzzWriteFile("A00000.BSL", header);
  FuzzReadImage(path, kForced);
  std::remove(binaryPath.c_str());
  return 0;
}
