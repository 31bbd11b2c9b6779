// Opening a 4096 x 4096 unsigned 16-bit ADSC image (32 MB) with FInputADSC, against a plain
// fread of the same file measured in the same run.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "core/status.h"
#include "data/DataSet.h"
#include "fileio/FInput.h"

namespace {

constexpr int kSize = 4096;
constexpr int kRuns = 5;

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool WriteImage(const std::string& path) {
  std::string header =
      "{\nHEADER_BYTES=  512;\nDIM=2;\nBYTE_ORDER=little_endian;\n"
      "TYPE=unsigned_short;\nSIZE1=" +
      std::to_string(kSize) + ";\nSIZE2=" + std::to_string(kSize) + ";\n}\n";
  header.resize(512, ' ');
  std::vector<std::uint16_t> pixels(static_cast<std::size_t>(kSize) * kSize);
  std::mt19937 random(7);
  for (auto& p : pixels) p = static_cast<std::uint16_t>(random());
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  bool good = std::fwrite(header.data(), 1, header.size(), file) == header.size() &&
              std::fwrite(pixels.data(), 2, pixels.size(), file) == pixels.size();
  good = std::fclose(file) == 0 && good;
  return good;
}

}  // namespace

int main() {
  const std::filesystem::path dir = BenchTempFolder() /
                                    ("lumivane-read-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "bench.img").string();
  if (!WriteImage(path)) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    return 1;
  }
  const double megabytes = static_cast<double>(std::filesystem::file_size(path)) / 1.0e6;

  // Raw reference: the whole file into a fresh buffer, nothing converted (the reader, too,
  // fills memory it has just allocated).
  const std::size_t bytes = std::filesystem::file_size(path);
  double rawBest = 1e30;
  for (int run = 0; run < kRuns; ++run) {
    const auto start = std::chrono::steady_clock::now();
    const auto buffer = std::make_unique_for_overwrite<unsigned char[]>(bytes);
    std::FILE* file = std::fopen(path.c_str(), "rb");
    const std::size_t got = file ? std::fread(buffer.get(), 1, bytes, file) : 0;
    if (file) std::fclose(file);
    rawBest = std::min(rawBest, Seconds(start));
    if (got != bytes) return 1;
  }

  double readerBest = 1e30;
  for (int run = 0; run < kRuns; ++run) {
    DataSet data;
    int status = kStatusGood;
    const auto start = std::chrono::steady_clock::now();
    const int ok = FInputADSC(path, data, status);
    readerBest = std::min(readerBest, Seconds(start));
    if (!ok || data.dimX != kSize || data.dimY != kSize) {
      std::fprintf(stderr, "FInputADSC failed\n");
      return 1;
    }
  }

  std::printf("ADSC %d x %d unsigned 16-bit, %.1f MB, best of %d runs\n", kSize, kSize, megabytes,
              kRuns);
  std::printf("  FInputADSC: %8.1f ms  %8.1f MB/s\n", readerBest * 1e3, megabytes / readerBest);
  std::printf("  raw fread : %8.1f ms  %8.1f MB/s\n", rawBest * 1e3, megabytes / rawBest);
  std::printf("  ratio (FInputADSC time / fread time): %.2f\n", readerBest / rawBest);
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return 0;
}
