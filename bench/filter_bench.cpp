// Times the median, top-hat and rolling-ball filters on a 2048 x 2048 image, and the same
// median and box filters of scipy.ndimage on the same data in the same run (skipped when
// /usr/bin/python3 lacks scipy). Interior medians are compared value for value.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "bench/BenchSupport.h"
#include "core/status.h"
#include "maths/MFilters.h"

namespace {

constexpr int kSize = 2048;

const char* kScript = R"(import sys, time
import numpy as np
from scipy import ndimage
n = int(sys.argv[4])
image = np.fromfile(sys.argv[1], dtype=np.float32).reshape(n, n)
ours = np.fromfile(sys.argv[2], dtype=np.float32).reshape(n, n)
start = time.perf_counter(); med = ndimage.median_filter(image, size=5, mode='nearest'); tm = time.perf_counter() - start
start = time.perf_counter(); ndimage.uniform_filter(image, size=3, mode='nearest'); t3 = time.perf_counter() - start
start = time.perf_counter(); ndimage.uniform_filter(image, size=31, mode='nearest'); t31 = time.perf_counter() - start
differ = int(np.count_nonzero(med[2:-2, 2:-2] != ours[2:-2, 2:-2]))
open(sys.argv[3], 'w').write('%f %f %f %d\n' % (tm, t3, t31, differ))
)";

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void Image(DataSet& d, int size) {
  int status = kStatusGood;
  IAllocateData(size, size, d, status);
  IDefineWholeImage(d, size, size);
  d.dataDefined = kTrue;
  std::mt19937 g(5);
  std::normal_distribution<float> noise(100.0f, 10.0f);
  for (std::size_t i = 0; i < IElementCount(d); ++i) d.data[i] = noise(g);
}

}  // namespace

int main() {
  DataSet image, out;
  Image(image, kSize);
  Image(out, kSize);
  int status = kStatusGood;
  std::printf("filter_bench: %d x %d floats, %u hardware threads\n", kSize, kSize,
              std::thread::hardware_concurrency());
  auto start = std::chrono::steady_clock::now();
  MMedianFilter(image, 5, 5, out, status);
  const double median = Seconds(start);
  std::printf("  median 5 x 5: %.3f s\n", median);

  DataSet box;
  Image(box, kSize);
  start = std::chrono::steady_clock::now();
  MTopHatConvolution(image, 3, 3, kTrue, box, status);
  const double hat3 = Seconds(start);
  start = std::chrono::steady_clock::now();
  MTopHatConvolution(image, 31, 31, kTrue, box, status);
  const double hat31 = Seconds(start);
  std::printf("  top hat 3 x 3: %.3f s, 31 x 31: %.3f s (ratio 31/3 = %.2f)\n", hat3, hat31,
              hat31 / hat3);

  const auto folder = BenchTempFolder() / "lumivane-filter-bench";
  std::filesystem::create_directories(folder);
  const auto raw = folder / "image.raw", ours = folder / "median.raw",
             result = folder / "result.txt", script = folder / "reference.py";
  const auto bytes = static_cast<std::streamsize>(IElementCount(image) * sizeof(float));
  std::ofstream(raw, std::ios::binary).write(reinterpret_cast<const char*>(image.data.get()), bytes);
  std::ofstream(ours, std::ios::binary).write(reinterpret_cast<const char*>(out.data.get()), bytes);
  std::ofstream(script) << kScript;
  const std::string command = "/usr/bin/python3 " + script.string() + " " + raw.string() + " " +
                              ours.string() + " " + result.string() + " " +
                              std::to_string(kSize) + " 2>/dev/null";
  double tm = 0.0, t3 = 0.0, t31 = 0.0;
  long long differ = -1;
  if (std::system(command.c_str()) == 0 && (std::ifstream(result) >> tm >> t3 >> t31 >> differ)) {
    std::printf("  scipy median_filter 5 x 5: %.3f s, ratio ours/scipy = %.3f, interior values "
                "differing: %lld\n",
                tm, median / tm, differ);
    std::printf("  scipy uniform_filter 3: %.3f s (ratio ours/scipy = %.3f), 31: %.3f s "
                "(ratio %.3f)\n",
                t3, hat3 / t3, t31, hat31 / t31);
  } else {
    std::printf("  (no scipy reference: /usr/bin/python3 lacks it)\n");
  }
  std::filesystem::remove_all(folder);

  start = std::chrono::steady_clock::now();
  MFilterRollingBall(image, 101.0f, 101.0f, 51, 51, out, status);
  std::printf("  rolling ball 101 x 101, 51 x 51 window: %.3f s\n", Seconds(start));
  return status == kStatusGood ? 0 : 1;
}
