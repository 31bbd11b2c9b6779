// Reading one frame of 2070 x 2167 pixels (an Eiger 4M frame: modules with their gaps marked
// by the overflow value, a weak background, powder rings and Bragg peaks) from an HDF5 file
// compressed with bitshuffle-LZ4 (filter 32008, chunks of one frame), with the program's input
// step, against h5py with the same filter plugin (python3-h5py, bitshuffle) on the same file in
// the same run. h5py writes the file, as detector software does.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "core/status.h"
#include "data/DataSet.h"
#include "fileio/FInput.h"

namespace {

constexpr int kWidth = 2070;
constexpr int kHeight = 2167;
constexpr int kFrames = 3;
constexpr int kRuns = 15;

const char* const kScript = R"(
import sys, time, numpy, h5py, bitshuffle.h5
raw, name, result, w, h, frames, runs = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5]), int(sys.argv[6]), int(sys.argv[7])
frame = numpy.fromfile(raw, '<u4').reshape(h, w)
with h5py.File(name, 'w') as f:
    d = f.create_dataset('entry/data/data', shape=(frames, h, w), dtype='<u4', chunks=(1, h, w),
                         compression=bitshuffle.h5.H5FILTER,
                         compression_opts=(0, bitshuffle.h5.H5_COMPRESS_LZ4))
    for k in range(frames):
        d[k] = frame
best = 1e30
for run in range(runs):
    start = time.perf_counter()
    with h5py.File(name, 'r') as f:
        image = f['entry/data/data'][1]
    best = min(best, time.perf_counter() - start)
same = int((image == frame).all())
open(result, 'w').write('%.6f %d\n' % (best, same))
)";

// Modules of 1030 x 514 pixels with 10 and 37 pixel gaps at the overflow value.
std::vector<std::uint32_t> Frame() {
  std::vector<std::uint32_t> image(static_cast<std::size_t>(kWidth) * kHeight);
  std::mt19937 random(7);
  std::poisson_distribution<int> background(0.8);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const double cx = 1030.0, cy = 1090.0;
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      std::uint32_t& p = image[static_cast<std::size_t>(y) * kWidth + x];
      if (x % (1030 + 10) >= 1030 || y % (514 + 37) >= 514) {
        p = 0xFFFFFFFFu;
        continue;
      }
      const double r = std::hypot(x - cx, y - cy);
      double counts = background(random) + 60.0 * std::exp(-0.5 * std::pow((r - 280.0) / 2.0, 2)) +
                      25.0 * std::exp(-0.5 * std::pow((r - 560.0) / 2.5, 2));
      if (unit(random) < 1e-4) counts += 20000.0 * unit(random);
      p = static_cast<std::uint32_t>(counts);
    }
  }
  return image;
}

}  // namespace

int main() {
  const char* tmp = std::getenv("TMPDIR");
  const std::filesystem::path base =
      tmp && std::filesystem::is_directory(tmp) ? std::filesystem::path(tmp) : "/tmp";
  const auto dir = base / ("lumivane-h5-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string raw = (dir / "frame.raw").string();
  const std::string name = (dir / "frames.h5").string();
  const std::string result = (dir / "h5py.txt").string();
  const std::string script = (dir / "h5py_read.py").string();
  const auto image = Frame();
  {
    std::ofstream out(raw, std::ios::binary);
    out.write(reinterpret_cast<const char*>(image.data()),
              static_cast<std::streamsize>(image.size() * sizeof(std::uint32_t)));
    std::ofstream(script) << kScript;
  }
  const std::string command = "/usr/bin/python3 " + script + " " + raw + " " + name + " " +
                              result + " " + std::to_string(kWidth) + " " +
                              std::to_string(kHeight) + " " + std::to_string(kFrames) + " " +
                              std::to_string(kRuns);
  double h5py = 0.0;
  int h5pySame = 0;
  if (std::system(command.c_str()) != 0 || !(std::ifstream(result) >> h5py >> h5pySame)) {
    std::printf("h5py with the bitshuffle filter (python3-h5py, bitshuffle) is not available\n");
    std::filesystem::remove_all(dir);
    return 1;
  }

  // The program's input step for frame 2: the information routine, then the reader (each
  // opens the file and finds the data-set).
  int status = kStatusGood;
  double ours = 1e30, readOnly = 1e30;
  DataSet d;
  for (int run = 0; run < kRuns; ++run) {
    const auto start = std::chrono::steady_clock::now();
    DatasetInfo info;
    const bool ok = FGetDatasetInfo(name, kFormatHDF5, 1, info, status) &&
                    FInputImage(name, kFormatHDF5, 1, 2, kFalse, d, status);
    const auto end = std::chrono::steady_clock::now();
    ours = std::min(ours, std::chrono::duration<double>(end - start).count());
    const auto again = std::chrono::steady_clock::now();
    FInputImage(name, kFormatHDF5, 1, 2, kFalse, d, status);
    readOnly = std::min(
        readOnly,
        std::chrono::duration<double>(std::chrono::steady_clock::now() - again).count());
    if (!ok) {
      std::printf("reading the HDF5 file failed\n");
      return 1;
    }
  }
  std::size_t differing = 0, masked = 0;
  for (std::size_t i = 0; i < image.size(); ++i) {
    if (d.data[i] != static_cast<float>(image[i])) ++differing;
    if (d.mask && d.mask[i]) ++masked;
  }
  std::printf("%d x %d uint32 frame, bitshuffle-LZ4, %d frames, %.1f MB file\n", kWidth, kHeight,
              kFrames, static_cast<double>(std::filesystem::file_size(name)) / 1e6);
  std::printf("ours (FGetDatasetInfo + FInputImage): %8.2f ms, %zu pixels differ, %zu masked\n",
              ours * 1e3, differing, masked);
  std::printf("ours (FInputImage alone):             %8.2f ms\n", readOnly * 1e3);
  std::printf("h5py File(...)[...][1]:               %8.2f ms%s\n", h5py * 1e3,
              h5pySame ? "" : "  (its result differs from the image!)");
  std::printf("ratio h5py / ours: %.2f\n", h5py / ours);
  std::filesystem::remove_all(dir);
  return differing == 0 ? 0 : 1;
}
