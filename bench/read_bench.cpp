// Opening 4096 x 4096 images: an ADSC unsigned 16-bit file (against a plain fread of it), and
// a Princeton SPE unsigned 16-bit, an uncompressed TIFF unsigned 16-bit and EDF 32-bit real
// files in both byte orders against fabio (python3-fabio under /usr/bin/python3) reading the
// same files in the same run. Without fabio only our own figures are printed.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "core/status.h"
#include "data/DataSet.h"
#include "fileio/FInput.h"
#include "fileio/FReaders.h"

namespace {

constexpr int kSize = 4096;
constexpr int kRuns = 5;

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::vector<std::uint16_t> Pixels16() {
  std::vector<std::uint16_t> pixels(static_cast<std::size_t>(kSize) * kSize);
  std::mt19937 random(7);
  for (auto& p : pixels) p = static_cast<std::uint16_t>(random());
  return pixels;
}

bool WriteBytes(const std::string& path, const std::string& header, const void* pixels,
                std::size_t bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  bool good = std::fwrite(header.data(), 1, header.size(), file) == header.size() &&
              std::fwrite(pixels, 1, bytes, file) == bytes;
  good = std::fclose(file) == 0 && good;
  return good;
}

bool WriteADSC(const std::string& path, const std::vector<std::uint16_t>& pixels) {
  std::string header =
      "{\nHEADER_BYTES=  512;\nDIM=2;\nBYTE_ORDER=little_endian;\n"
      "TYPE=unsigned_short;\nSIZE1=" +
      std::to_string(kSize) + ";\nSIZE2=" + std::to_string(kSize) + ";\n}\n";
  header.resize(512, ' ');
  return WriteBytes(path, header, pixels.data(), pixels.size() * 2);
}

bool WriteSPE(const std::string& path, const std::vector<std::uint16_t>& pixels) {
  std::string header(4100, '\0');
  auto put16 = [&](int at, int v) {
    header[static_cast<std::size_t>(at)] = static_cast<char>(v & 0xFF);
    header[static_cast<std::size_t>(at) + 1] = static_cast<char>((v >> 8) & 0xFF);
  };
  // Enough of a real header for fabio to recognise it: versions, date and times.
  put16(0, 5);
  put16(2, 1);
  std::memcpy(&header[20], "07Jul2015", 9);
  std::memcpy(&header[172], "104010", 6);
  std::memcpy(&header[179], "084012", 6);
  put16(42, kSize);
  put16(656, kSize);
  put16(108, 3);  // unsigned 16-bit
  put16(1446, 1);
  return WriteBytes(path, header, pixels.data(), pixels.size() * 2);
}

bool WriteTIFF(const std::string& path, const std::vector<std::uint16_t>& pixels) {
  // Little-endian, one directory of 9 entries at byte 8, one strip at byte 4096.
  std::string header(4096, '\0');
  std::size_t at = 0;
  auto put16 = [&](unsigned v) {
    header[at++] = static_cast<char>(v & 0xFF);
    header[at++] = static_cast<char>((v >> 8) & 0xFF);
  };
  auto put32 = [&](std::uint32_t v) {
    put16(v & 0xFFFF);
    put16(v >> 16);
  };
  header[0] = header[1] = 'I';
  at = 2;
  put16(42);
  put32(8);
  const std::uint32_t size = kSize;
  const std::uint32_t entries[][3] = {{256, 4, size}, {257, 4, size},   {258, 3, 16},
                                      {259, 3, 1},    {262, 3, 1},      {273, 4, 4096},
                                      {277, 3, 1},    {278, 4, size},   {279, 4, size * size * 2}};
  put16(9);
  for (const auto& e : entries) {
    put16(e[0]);
    put16(e[1]);
    put32(1);
    if (e[1] == 3) {
      put16(e[2]);
      put16(0);
    } else {
      put32(e[2]);
    }
  }
  put32(0);
  return WriteBytes(path, header, pixels.data(), pixels.size() * 2);
}

bool WriteEDF(const std::string& path, bool bigEndian) {
  std::vector<float> pixels(static_cast<std::size_t>(kSize) * kSize);
  std::mt19937 random(11);
  for (auto& p : pixels) p = static_cast<float>(random() % 1000000) * 0.25f - 1000.0f;
  std::vector<std::uint32_t> words(pixels.size());
  std::memcpy(words.data(), pixels.data(), pixels.size() * 4);
  if (bigEndian) {
    for (auto& w : words) w = __builtin_bswap32(w);
  }
  std::string header = "{\nEDF_DataBlockID = 0.Image.Psd ;\nEDF_BinarySize = " +
                       std::to_string(pixels.size() * 4) + " ;\nEDF_HeaderSize = 1024 ;\n" +
                       "ByteOrder = " + (bigEndian ? "HighByteFirst" : "LowByteFirst") +
                       " ;\nDataType = FloatValue ;\nDim_1 = " + std::to_string(kSize) +
                       " ;\nDim_2 = " + std::to_string(kSize) + " ;\nImage = 1 ;\nSize = " +
                       std::to_string(pixels.size() * 4) + " ;\n";
  header.resize(1022, ' ');
  header += "}\n";
  return WriteBytes(path, header, words.data(), words.size() * 4);
}

// fabio's best time per file (seconds), read in one python run; empty without fabio.
std::map<std::string, double> FabioTimes(const std::filesystem::path& dir,
                                         const std::vector<std::string>& files) {
  const std::string script = (dir / "fabio_read.py").string();
  std::ofstream(script) << R"(import sys, time
import fabio
runs = int(sys.argv[1])
for path in sys.argv[2:]:
    best = 1e30
    for _ in range(runs):
        t = time.perf_counter()
        data = fabio.open(path).data
        best = min(best, time.perf_counter() - t)
    print(path, best, data.dtype, data.shape[1], data.shape[0])
)";
  std::string command = "/usr/bin/python3 " + script + " " + std::to_string(kRuns);
  for (const auto& file : files) command += " " + file;
  command += " 2>/dev/null";
  std::map<std::string, double> times;
  std::FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return times;
  char line[1024];
  while (std::fgets(line, sizeof line, pipe)) {
    char path[900] = {0}, type[32] = {0};
    double best = 0.0;
    int columns = 0, rows = 0;
    if (std::sscanf(line, "%899s %lf %31s %d %d", path, &best, type, &columns, &rows) == 5) {
      times[path] = best;
    }
  }
  pclose(pipe);
  return times;
}

// Our best time (seconds) reading a file with `reader`, negative on failure.
double OurTime(const std::function<int(DataSet&, int&)>& reader, int size = kSize) {
  double best = 1e30;
  for (int run = 0; run < kRuns; ++run) {
    DataSet data;
    int status = kStatusGood;
    const auto start = std::chrono::steady_clock::now();
    const int ok = reader(data, status);
    best = std::min(best, Seconds(start));
    if (!ok || status != kStatusGood || data.dimX != size || data.dimY != size) return -1.0;
  }
  return best;
}

}  // namespace

int main() {
  const std::filesystem::path dir =
      BenchTempFolder() / ("lumivane-read-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string adsc = (dir / "bench.img").string();
  const std::string spe = (dir / "bench.spe").string();
  const std::string tiff = (dir / "bench.tif").string();
  const std::string edf = (dir / "bench.edf").string();
  const std::string edfBig = (dir / "bench_big.edf").string();
  {
    const auto pixels = Pixels16();
    if (!WriteADSC(adsc, pixels) || !WriteSPE(spe, pixels) || !WriteTIFF(tiff, pixels) ||
        !WriteEDF(edf, false) || !WriteEDF(edfBig, true)) {
      std::fprintf(stderr, "cannot write the images in %s\n", dir.c_str());
      return 1;
    }
  }

  // Raw reference for ADSC: the whole file into a fresh buffer from the same allocator,
  // nothing converted (the reader, too, fills memory it has just allocated).
  const std::size_t bytes = std::filesystem::file_size(adsc);
  const double megabytes = static_cast<double>(bytes) / 1.0e6;
  double rawBest = 1e30;
  for (int run = 0; run < kRuns; ++run) {
    const auto start = std::chrono::steady_clock::now();
    IArray<unsigned char> buffer;
    int status = kStatusGood;
    if (!IAllocateMemory("read_bench", static_cast<std::int64_t>(bytes), buffer, status)) return 1;
    std::FILE* file = std::fopen(adsc.c_str(), "rb");
    const std::size_t got = file ? std::fread(buffer.get(), 1, bytes, file) : 0;
    if (file) std::fclose(file);
    rawBest = std::min(rawBest, Seconds(start));
    if (got != bytes) return 1;
  }
  const double adscBest =
      OurTime([&](DataSet& d, int& status) { return FInputADSC(adsc, d, status); });
  if (adscBest < 0) {
    std::fprintf(stderr, "FInputADSC failed\n");
    return 1;
  }
  std::printf("ADSC %d x %d unsigned 16-bit, %.1f MB, best of %d runs\n", kSize, kSize, megabytes,
              kRuns);
  std::printf("  FInputADSC: %8.1f ms  %8.1f MB/s\n", adscBest * 1e3, megabytes / adscBest);
  std::printf("  raw fread : %8.1f ms  %8.1f MB/s\n", rawBest * 1e3, megabytes / rawBest);
  std::printf("  ratio (FInputADSC time / fread time): %.2f\n\n", adscBest / rawBest);

  struct Case {
    const char* name;
    std::string path;
    std::function<int(DataSet&, int&)> reader;
    int size = kSize;
  };
  // The real CCD frame of the shared test data (1042 x 1042) when it is there.
  const std::string realSpe = std::string(LV_SHARED_DATA) + "/CeO2_PI_CCD_Mo.SPE";
  std::vector<Case> cases = {
      {"SPE unsigned 16-bit", spe,
       [&](DataSet& d, int& status) { return FInputPrinceton(spe, 1, d, status); }},
      {"TIFF unsigned 16-bit", tiff,
       [&](DataSet& d, int& status) { return FInputTIFF(tiff, d, status); }},
      {"EDF real, low first", edf,
       [&](DataSet& d, int& status) { return FInputKlora(edf, d, status); }},
      {"EDF real, high first", edfBig,
       [&](DataSet& d, int& status) { return FInputKlora(edfBig, d, status); }},
  };
  if (std::filesystem::is_regular_file(realSpe)) {
    cases.push_back({"real SPE 1042 x 1042", realSpe,
                     [&](DataSet& d, int& status) {
                       return FInputPrinceton(realSpe, 1, d, status);
                     },
                     1042});
  }
  std::vector<std::string> files;
  for (const Case& c : cases) files.push_back(c.path);
  const auto fabio = FabioTimes(dir, files);
  if (fabio.empty()) std::printf("fabio (python3-fabio under /usr/bin/python3) is absent\n");
  std::printf("%-24s %10s %10s %14s\n", "4096 x 4096 unless said", "ours ms", "fabio ms",
              "ours / fabio");
  int failures = 0;
  for (const Case& c : cases) {
    const double ours = OurTime(c.reader, c.size);
    if (ours < 0) {
      std::printf("%-24s reader failed\n", c.name);
      ++failures;
      continue;
    }
    const auto found = fabio.find(c.path);
    if (found == fabio.end()) {
      std::printf("%-24s %10.1f %10s %14s\n", c.name, ours * 1e3, "-", "-");
    } else {
      std::printf("%-24s %10.1f %10.1f %14.2f\n", c.name, ours * 1e3, found->second * 1e3,
                  ours / found->second);
    }
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return failures == 0 ? 0 : 1;
}
