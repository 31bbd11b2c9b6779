// Decoding a 3450 x 3450 CCP4 packed image, against fabio's compiled decoder in the same run.
//
// The image (powder rings on a sloping background, counting noise, a few saturated pixels)
// is written raw; fabio packs it into a stream file and times its own decoder on that stream;
// then FMarPackedImage decodes the same file. The decoded pixels are compared with the image,
// which also checks our decoder against an independent encoder.
#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "core/status.h"
#include "data/DataSet.h"
#include "fileio/FMarPackedImage.h"

namespace {

constexpr int kSize = 3450;
constexpr int kRuns = 7;

const char* const kScript = R"(
import sys, time, numpy
from fabio.ext import mar345_IO
raw, packed, result = sys.argv[1:4]
n, runs = int(sys.argv[4]), int(sys.argv[5])
image = numpy.fromfile(raw, dtype=numpy.uint16).reshape(n, n).astype(numpy.int32)
stream = mar345_IO.compress_pck(image)
open(packed, 'wb').write(stream)
best = 1e30
for _ in range(runs):
    t = time.perf_counter()
    out = mar345_IO.uncompress_pck(stream, n, n, 0)
    best = min(best, time.perf_counter() - t)
same = bool((out == image).all())
open(result, 'w').write('%.6f %d %d\n' % (best, int(same), len(stream)))
)";

std::vector<std::uint16_t> Image() {
  std::vector<std::uint16_t> image(static_cast<std::size_t>(kSize) * kSize);
  std::uint64_t state = 88172645463325252ull;
  auto next = [&] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  for (int y = 0; y < kSize; ++y) {
    for (int x = 0; x < kSize; ++x) {
      const double r = std::hypot(x - 1712.4, y - 1733.9);
      double mean =
          180.0 + 0.02 * y + 2500.0 * std::exp(-std::pow(std::fmod(r, 310.0) - 155.0, 2) / 30.0);
      // Counting noise, roughly Gaussian with the Poisson width.
      const double u =
          (static_cast<double>(next() % 1000000) + static_cast<double>(next() % 1000000)) / 1e6 -
          1.0;
      mean += u * std::sqrt(mean) * 2.4;
      if (next() % 200000 == 0) mean = 65535.0;
      image[static_cast<std::size_t>(y) * kSize + x] =
          static_cast<std::uint16_t>(std::clamp(mean, 0.0, 65535.0));
    }
  }
  return image;
}

}  // namespace

int main() {
  const auto dir = BenchTempFolder() / "lumivane-packed-bench";
  std::filesystem::create_directories(dir);
  const std::string raw = (dir / "image.u16").string();
  const std::string packed = (dir / "image.pck").string();
  const std::string result = (dir / "fabio.txt").string();
  const std::string script = (dir / "fabio_decode.py").string();

  const auto image = Image();
  std::ofstream(raw, std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()),
             static_cast<std::streamsize>(image.size() * sizeof(std::uint16_t)));
  std::ofstream(script) << kScript;
  std::filesystem::remove(result);
  const std::string command = "/usr/bin/python3 " + script + " " + raw + " " + packed + " " +
                              result + " " + std::to_string(kSize) + " " + std::to_string(kRuns);
  double fabio = 0.0;
  int fabioSame = 0;
  long long streamBytes = 0;
  if (std::system(command.c_str()) != 0 ||
      !(std::ifstream(result) >> fabio >> fabioSame >> streamBytes)) {
    std::printf("fabio (python3-fabio under /usr/bin/python3) is not available: no reference\n");
    return 1;
  }

  int status = kStatusGood;
  DataSet d;
  if (!IAllocateData(kSize, kSize, d, status)) return 1;
  double ours = 1e30;
  for (int run = 0; run < kRuns; ++run) {
    std::FILE* file = std::fopen(packed.c_str(), "rb");
    if (!file) return 1;
    const auto start = std::chrono::steady_clock::now();
    const int ok = FMarPackedImage(file, 0, kSize, kSize, d, status);
    const auto end = std::chrono::steady_clock::now();
    std::fclose(file);
    if (!ok) {
      std::printf("FMarPackedImage failed\n");
      return 1;
    }
    ours = std::min(ours, std::chrono::duration<double>(end - start).count());
  }
  std::size_t differing = 0;
  for (std::size_t i = 0; i < image.size(); ++i) {
    if (d.data[i] != static_cast<float>(image[i])) ++differing;
  }

  std::printf("packed image %d x %d, %lld bytes of stream, best of %d runs\n", kSize, kSize,
              streamBytes, kRuns);
  std::printf("fabio uncompress_pck (from memory): %8.2f ms%s\n", fabio * 1e3,
              fabioSame ? "" : "  (its result differs from the image!)");
  std::printf("FMarPackedImage (from the file):    %8.2f ms  %zu pixels differ\n", ours * 1e3,
              differing);
  std::printf("ratio fabio / ours: %.2f\n", fabio / ours);
  std::filesystem::remove_all(dir);
  return differing == 0 ? 0 : 1;
}
