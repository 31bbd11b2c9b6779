// lv_fuzz_seeds POOL OUT [FILE...]: sorts the files that the tests' fixture writers left in
// POOL (one sub-folder per scratch folder, tests/support/TestSupport.cpp) and any FILE named
// into OUT/<target>/, one seed per distinct content. A BSL header and a volume information
// file are joined to the binary beside them as their targets expect (fuzz/FuzzSupport.h).
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
#include <string>

#include "core/status.h"
#include "fileio/FInput.h"
#include "fuzz/FuzzSupport.h"

namespace fs = std::filesystem;

namespace {

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Line(const std::string& text, int index) {
  std::istringstream lines(text);
  std::string line;
  for (int i = 0; i <= index; ++i) {
    if (!std::getline(lines, line)) return {};
  }
  while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
  return line;
}

int gWritten = 0;

void Keep(const fs::path& out, const std::string& target, const std::string& bytes) {
  if (bytes.empty() || bytes.size() > (1u << 20)) return;
  const fs::path folder = out / target;
  fs::create_directories(folder);
  char name[32];
  std::snprintf(name, sizeof name, "%016zx", std::hash<std::string>{}(bytes));
  const fs::path path = folder / name;
  if (fs::exists(path)) return;
  std::ofstream(path, std::ios::binary) << bytes;
  ++gWritten;
}

std::string Joined(const std::string& header, const fs::path& binary) {
  std::string bytes = header;
  bytes += kFuzzBinarySeparator;
  if (fs::is_regular_file(binary)) bytes += Read(binary);
  return bytes;
}

void Sort(const fs::path& file, const fs::path& out) {
  const std::string ext = Lower(file.extension().string());
  const std::string bytes = Read(file);
  if (ext == ".poni") return Keep(out, "poni", bytes);
  if (ext == ".idb") return Keep(out, "database", bytes);
  if (ext == ".lvs") return Keep(out, "script", bytes);
  if (bytes.size() >= 16 && bytes.compare(0, 16, std::string("M\0\0\0A\0\0\0S\0\0\0K\0\0\0", 16)) == 0) {
    return Keep(out, "mask", bytes);
  }
  int status = kStatusGood, format = kFormatNone;
  FDeduceFileFormat(file.string(), format, status);
  switch (format) {
    case kFormatADSC:
    case kFormatBruker:
    case kFormatKlora: return Keep(out, "text_headers", bytes);
    case kFormatMar: return Keep(out, "mar", bytes);
    case kFormatTIFF: return Keep(out, "tiff", bytes);
    case kFormatPrinceton: return Keep(out, "spe", bytes);
    case kFormatCBF: return Keep(out, "cbf", bytes);
    case kFormatHDF5: return Keep(out, "hdf5", bytes);
    case kFormatChiplot: return Keep(out, "chiplot", bytes);
    case kFormatBSL: return Keep(out, "bsl", Joined(bytes, file.parent_path() / Line(bytes, 3)));
    case kFormatVolume: {
      const std::string name = file.filename().string();
      const std::size_t at = name.rfind(".info");
      const std::string raw = at == std::string::npos ? name + ".raw" : name.substr(0, at);
      return Keep(out, "volume", Joined(bytes, file.parent_path() / raw));
    }
    default: break;
  }
  // What detection refuses still seeds the target of its kind (by the name its test gave).
  if (ext == ".tif" || ext == ".tiff") return Keep(out, "tiff", bytes);
  if (ext == ".cbf") return Keep(out, "cbf", bytes);
  if (ext == ".h5" || ext == ".nxs" || ext == ".hdf5") return Keep(out, "hdf5", bytes);
  if (ext == ".spe") return Keep(out, "spe", bytes);
  if (ext.rfind(".mar", 0) == 0 || ext == ".pck") return Keep(out, "mar", bytes);
  if (ext == ".chi" || ext == ".ds" || ext == ".txt" || ext == ".dat") {
    return Keep(out, "chiplot", bytes);
  }
  if (ext == ".img" || ext == ".gfrm" || ext == ".sfrm" || ext == ".kl") {
    return Keep(out, "text_headers", bytes);
  }
  if (ext == ".bsl") return Keep(out, "bsl", bytes);
  if (ext == ".info") return Keep(out, "volume", bytes);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: lv_fuzz_seeds POOL OUT [FILE...]\n");
    return 2;
  }
  const fs::path pool = argv[1], out = argv[2];
  std::error_code error;
  for (const auto& entry : fs::recursive_directory_iterator(pool, error)) {
    if (entry.is_regular_file()) Sort(entry.path(), out);
  }
  for (int i = 3; i < argc; ++i) {
    if (fs::is_regular_file(argv[i])) Sort(argv[i], out);
  }
  std::printf("lv_fuzz_seeds: %d seeds\n", gWritten);
  return 0;
}
