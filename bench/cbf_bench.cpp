// Opening a 2463 x 2527 byte-offset CBF (a Pilatus 6M frame: 5 x 12 modules with their gaps,
// a weak background, rings and Bragg peaks) with the program's input step, against fabio's
// reader (python3-fabio) measured on the same file in the same run. fabio writes the file, so
// it is the minimal CBF that detectors write.
#include <cbflib/cbf.h>
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
#include "fileio/FCBF.h"
#include "fileio/FInput.h"

namespace {

constexpr int kWidth = 2463;
constexpr int kHeight = 2527;
int kRuns = 5;  // cbf_bench [RUNS]

const char* const kScript = R"(
import sys, time, numpy, fabio, fabio.cbfimage
raw, cbf, result, w, h, runs = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5]), int(sys.argv[6])
data = numpy.fromfile(raw, '<i4').reshape(h, w)
fabio.cbfimage.CbfImage(data=data).write(cbf)
best = 1e30
for run in range(runs):
    start = time.perf_counter()
    image = fabio.open(cbf).data
    best = min(best, time.perf_counter() - start)
same = int((image == data).all())
open(result, 'w').write('%.6f %d\n' % (best, same))
)";

// A frame as a Pilatus 6M records it: modules of 487 x 195 pixels, 7 and 17 pixel gaps
// marked -1, a few bad pixels -2, a background of a few counts, powder rings and Bragg peaks.
std::vector<std::int32_t> Frame() {
  std::vector<std::int32_t> image(static_cast<std::size_t>(kWidth) * kHeight);
  std::mt19937 random(11);
  std::poisson_distribution<int> background(3.0);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const double cx = 1231.0, cy = 1263.0;
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      std::int32_t& p = image[static_cast<std::size_t>(y) * kWidth + x];
      if (x % (487 + 7) >= 487 || y % (195 + 17) >= 195) {
        p = -1;
        continue;
      }
      const double r = std::hypot(x - cx, y - cy);
      double counts = background(random) + 400.0 * std::exp(-0.5 * std::pow((r - 300.0) / 2.5, 2)) +
                      150.0 * std::exp(-0.5 * std::pow((r - 610.0) / 3.0, 2));
      if (unit(random) < 2e-4) counts += 50000.0 * unit(random);  // Bragg peaks
      p = unit(random) < 1e-5 ? -2 : static_cast<std::int32_t>(counts);
    }
  }
  return image;
}

// The library alone: read the file and decode its array into 32-bit integers, checking the
// message digest or not (the program's image step checks it).
double LibraryRead(const std::string& path, int digest, std::vector<std::int32_t>& out) {
  double best = 1e30;
  for (int run = 0; run < kRuns; ++run) {
    const auto start = std::chrono::steady_clock::now();
    cbf_handle h = nullptr;
    std::FILE* in = std::fopen(path.c_str(), "rb");
    if (!in || cbf_make_handle(&h)) return -1.0;
    static std::FILE* quiet = std::fopen("/dev/null", "w");  // the library's remarks on lines
    if (quiet) cbf_set_cbf_logfile(h, quiet);
    int id = 0;
    std::size_t read = 0;
    const bool ok = !cbf_read_file(h, in, digest) && !cbf_rewind_datablock(h) &&
                    !cbf_find_category(h, "array_data") && !cbf_find_column(h, "data") &&
                    !cbf_get_integerarray(h, &id, out.data(), 4, 1, out.size(), &read);
    cbf_free_handle(h);
    if (!ok || read != out.size()) return -1.0;
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
                              .count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) kRuns = std::max(1, std::atoi(argv[1]));
  const auto dir = std::filesystem::temp_directory_path() /
                   ("lumivane-cbf-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string raw = (dir / "frame.raw").string();
  const std::string cbf = (dir / "frame.cbf").string();
  const std::string result = (dir / "fabio.txt").string();
  const std::string script = (dir / "fabio_read.py").string();
  const auto image = Frame();
  {
    std::ofstream out(raw, std::ios::binary);
    out.write(reinterpret_cast<const char*>(image.data()),
              static_cast<std::streamsize>(image.size() * sizeof(std::int32_t)));
    std::ofstream(script) << kScript;
  }
  const std::string command = "/usr/bin/python3 " + script + " " + raw + " " + cbf + " " +
                              result + " " + std::to_string(kWidth) + " " +
                              std::to_string(kHeight) + " " + std::to_string(kRuns);
  double fabio = 0.0;
  int fabioSame = 0;
  if (std::system(command.c_str()) != 0 || !(std::ifstream(result) >> fabio >> fabioSame)) {
    std::printf("fabio (python3-fabio under /usr/bin/python3) is not available: no reference\n");
    std::filesystem::remove_all(dir);
    return 1;
  }

  // The program's input step: the information routine, then the reader (both parse the file).
  int status = kStatusGood;
  double ours = 1e30, informationStep = 1e30, imageStep = 1e30;
  DataSet d;
  for (int run = 0; run < kRuns; ++run) {
    const auto start = std::chrono::steady_clock::now();
    DatasetInfo info;
    const bool informed = FGetDatasetInfo(cbf, kFormatCBF, 1, info, status);
    const auto middle = std::chrono::steady_clock::now();
    const bool ok = informed && FInputImage(cbf, kFormatCBF, 1, 1, kFalse, d, status);
    const auto end = std::chrono::steady_clock::now();
    ours = std::min(ours, std::chrono::duration<double>(end - start).count());
    informationStep = std::min(informationStep, std::chrono::duration<double>(middle - start).count());
    imageStep = std::min(imageStep, std::chrono::duration<double>(end - middle).count());
    if (!ok) {
      std::printf("reading the CBF failed\n");
      return 1;
    }
  }
  std::size_t differing = 0;
  for (std::size_t i = 0; i < image.size(); ++i) {
    if (d.data[i] != static_cast<float>(image[i])) ++differing;
  }
  std::printf("%d x %d byte-offset CBF, %.1f MB\n", kWidth, kHeight,
              static_cast<double>(std::filesystem::file_size(cbf)) / 1e6);
  std::printf("ours (FGetDatasetInfo + FInputImage): %8.2f ms, %zu pixels differ\n", ours * 1e3,
              differing);
  std::printf("  information step %.2f ms, image step %.2f ms\n", informationStep * 1e3,
              imageStep * 1e3);
  std::printf("  the section decoded by the library in %u part(s)\n", FCBFLastParts());
  std::printf("fabio.open(...).data:                 %8.2f ms%s\n", fabio * 1e3,
              fabioSame ? "" : "  (its result differs from the image!)");
  std::printf("ratio fabio / ours: %.2f\n", fabio / ours);
  std::printf("ratio ours / fabio: %.2f (at most 1: as fast as fabio)\n", ours / fabio);
  std::vector<std::int32_t> decoded(image.size());
  const double checked = LibraryRead(cbf, MSG_DIGEST, decoded);
  const double unchecked = LibraryRead(cbf, MSG_NODIGEST, decoded);
  std::printf("the library alone (read, decode): %.2f ms checking the message digest, %.2f ms "
              "not\n",
              checked * 1e3, unchecked * 1e3);
  // The library's decoding must be called: what ours adds to it (the information step, our
  // guards and digest, the conversion to reals) is the part of the ratio above it.
  if (unchecked > 0.0) {
    std::printf("ratio ours / the library alone without its digest check: %.2f\n",
                ours / unchecked);
  }
  std::filesystem::remove_all(dir);
  return differing == 0 ? 0 : 1;
}
