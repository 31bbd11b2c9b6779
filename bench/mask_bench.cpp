// Masking a 2048 x 2048 image: significant pixels with a 71 x 71 window and 3 cycles (target
// 1 s), and a 500-vertex polygon (target 0.5 s).
//
// References in the same run: the significance with a 3 x 3 window (the window statistics
// must cost the same for any window size), scipy's uniform_filter computing the same window
// means and squares, and matplotlib's point-in-path test over the same pixel centres, whose
// answer is compared with ours.
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
#include "maths/MMask.h"

namespace {

constexpr int kSize = 2048;
constexpr int kVertices = 500;

const char* const kScript = R"(
import sys, time, numpy
from scipy import ndimage
from matplotlib.path import Path
raw, vertices, mask, result = sys.argv[1:5]
n = int(sys.argv[5])
image = numpy.fromfile(raw, dtype=numpy.float32).reshape(n, n).astype(numpy.float64)
t = time.perf_counter()
for _ in range(3):
    mean = ndimage.uniform_filter(image, 71, mode='nearest')
    squares = ndimage.uniform_filter(image * image, 71, mode='nearest')
    sigma = numpy.sqrt(numpy.maximum(squares - mean * mean, 0))
    image = numpy.where(image >= mean + 3 * sigma, mean, image)
window = time.perf_counter() - t
xy = numpy.fromfile(vertices, dtype=numpy.float32).reshape(-1, 2)
ys, xs = numpy.mgrid[0:n, 0:n]
centres = numpy.column_stack([xs.ravel() + 0.5, ys.ravel() + 0.5])
t = time.perf_counter()
inside = Path(xy).contains_points(centres)
polygon = time.perf_counter() - t
ours = numpy.fromfile(mask, dtype=numpy.uint8) != 0
open(result, 'w').write('%.6f %.6f %d\n' % (window, polygon, int((ours != inside).sum())))
)";

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

DataSet Image() {
  DataSet d;
  int status = kStatusGood;
  IAllocateData(kSize, kSize, d, status);
  std::uint64_t state = 88172645463325252ull;
  auto uniform = [&] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return static_cast<double>(state >> 11) / 9007199254740992.0;
  };
  for (int y = 0; y < kSize; ++y) {
    for (int x = 0; x < kSize; ++x) {
      double value = 200.0 + 0.05 * x + 20.0 * (uniform() + uniform() + uniform() - 1.5);
      if (x % 97 < 5 && y % 89 < 5) value += 3000.0;  // a lattice of bright spots
      d.data[IIndex(d, x, y)] = static_cast<float>(value);
    }
  }
  d.numX = d.numY = kSize;
  d.endX = d.endY = kSize - 1;
  d.dataDefined = kTrue;
  return d;
}

double TimeSignificant(const DataSet& image, int window, long long& masked) {
  double best = 1e30;
  for (int run = 0; run < 3; ++run) {
    DataSet d;
    int status = kStatusGood;
    MDataCopy(image, d, status);
    const auto start = std::chrono::steady_clock::now();
    MMaskSignificant(window, window, 3.0f, 3, d, status);
    best = std::min(best, Seconds(start));
    masked = std::count_if(d.mask.get(), d.mask.get() + IElementCount(d),
                           [](unsigned char m) { return m != 0; });
    if (status != kStatusGood) std::printf("MMaskSignificant failed: %d\n", status);
  }
  return best;
}

}  // namespace

int main() {
  const DataSet image = Image();
  long long masked71 = 0, masked3 = 0;
  const double significant71 = TimeSignificant(image, 71, masked71);
  const double significant3 = TimeSignificant(image, 3, masked3);
  std::printf("Mask_Significant 71 x 71, 3 cycles, %d x %d: %.3f s (target 1 s), %lld masked\n",
              kSize, kSize, significant71, masked71);
  std::printf("  same with a 3 x 3 window: %.3f s, ratio 71/3 = %.2f\n", significant3,
              significant71 / significant3);

  // A star of 500 vertices over most of the image.
  std::vector<float> xs(kVertices), ys(kVertices);
  for (int i = 0; i < kVertices; ++i) {
    const double angle = 2.0 * M_PI * i / kVertices;
    const double radius = i % 2 ? 980.0 : 640.0 + 300.0 * std::sin(7.0 * angle);
    xs[i] = static_cast<float>(1024.3 + radius * std::cos(angle));
    ys[i] = static_cast<float>(1023.7 + radius * std::sin(angle));
  }
  double polygonFresh = 1e30, polygonDefined = 1e30;
  for (int run = 0; run < 3; ++run) {
    int status = kStatusGood;
    DataSet d;
    MDataCopy(image, d, status);
    auto start = std::chrono::steady_clock::now();
    MMaskPolygon(kTrue, kVertices, kVertices, xs.data(), ys.data(), d, status);
    polygonFresh = std::min(polygonFresh, Seconds(start));
    // Once the mask is defined the outline's gaps are closed over the bounding box as well.
    d.maskDefined = kTrue;
    start = std::chrono::steady_clock::now();
    MMaskPolygon(kTrue, kVertices, kVertices, xs.data(), ys.data(), d, status);
    polygonDefined = std::min(polygonDefined, Seconds(start));
  }
  DataSet fresh;
  int status = kStatusGood;
  MDataCopy(image, fresh, status);
  MMaskPolygon(kTrue, kVertices, kVertices, xs.data(), ys.data(), fresh, status);
  std::printf(
      "Polygon of %d vertices over %d x %d: %.3f s, with the gap-closing pass %.3f s "
      "(target 0.5 s)\n",
      kVertices, kSize, kSize, polygonFresh, polygonDefined);

  const auto folder = BenchTempFolder() / "lumivane-mask-bench";
  std::filesystem::create_directories(folder);
  const auto raw = folder / "image.raw", vertices = folder / "vertices.raw",
             mask = folder / "mask.raw", result = folder / "result.txt",
             script = folder / "reference.py";
  std::ofstream(raw, std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data.get()),
             static_cast<std::streamsize>(IElementCount(image) * sizeof(float)));
  std::vector<float> pairs;
  for (int i = 0; i < kVertices; ++i) {
    pairs.push_back(xs[i]);
    pairs.push_back(ys[i]);
  }
  std::ofstream(vertices, std::ios::binary)
      .write(reinterpret_cast<const char*>(pairs.data()),
             static_cast<std::streamsize>(pairs.size() * sizeof(float)));
  std::ofstream(mask, std::ios::binary)
      .write(reinterpret_cast<const char*>(fresh.mask.get()),
             static_cast<std::streamsize>(IElementCount(fresh)));
  std::ofstream(script) << kScript;
  const std::string command = "/usr/bin/python3 " + script.string() + " " + raw.string() + " " +
                              vertices.string() + " " + mask.string() + " " + result.string() +
                              " " + std::to_string(kSize) + " 2>/dev/null";
  double window = 0.0, polygon = 0.0;
  long long differ = -1;
  if (std::system(command.c_str()) == 0 && (std::ifstream(result) >> window >> polygon >> differ)) {
    std::printf(
        "  scipy uniform_filter, same windows and cycles: %.3f s, ratio ours/scipy = "
        "%.2f\n",
        window, significant71 / window);
    std::printf(
        "  matplotlib contains_points: %.3f s, ratio ours/matplotlib = %.3f, %lld "
        "pixels decided differently\n",
        polygon, polygonFresh / polygon, differ);
  } else {
    std::printf("  (no scipy/matplotlib reference: /usr/bin/python3 lacks them)\n");
  }
  std::filesystem::remove_all(folder);
  return 0;
}
