// "FS_Integrate" of a series of Pilatus 1M frames (the CeO2 image of the shared data, each
// frame with its own counting noise, as TIFF like the original or as byte-offset CBF) by the
// program started on a command script, against a
// pyFAI loop on the same files in the same run: fabio.open + integrate1d (bbox splitting, CSR,
// polarisation and solid-angle corrections) over the same number of bins. Both times include
// everything from the first file to the last scan (ours also the program's start-up). The
// program runs twice: reading ahead on a worker thread (the default) and reading in turn.
//
//   series_bench [FRAMES [tif|cbf]]   (default 100 TIFF frames)
#include <unistd.h>

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

#include "bench/BenchSupport.h"
#include "core/status.h"
#include "data/DataSet.h"
#include "fileio/FInput.h"
#include "fileio/FReaders.h"
#include "fileio/FScanFiles.h"

namespace {

const char* const kScript = R"(
import sys, time, fabio, pyFAI
poni, listing, bins, result = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
files = [line.strip() for line in open(listing) if line.strip()]
ai = pyFAI.load(poni)
start = time.perf_counter()
for name in files:
    data = fabio.open(name).data
    ai.integrate1d(data, bins, unit="2th_deg", method=("bbox", "csr", "cython"),
                   polarization_factor=0.99, correctSolidAngle=True)
open(result, 'w').write('%.6f\n' % (time.perf_counter() - start))
)";

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int frames = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
  const std::string format = argc > 2 ? argv[2] : "tif";
  if (format != "tif" && format != "cbf") {
    std::printf("the format is tif or cbf\n");
    return 2;
  }
  const std::filesystem::path data = LV_SHARED_DATA;
  const std::filesystem::path tiff = data / "CeO2_Pilatus1M.tif";
  const std::filesystem::path poni = data / "CeO2_Pilatus1M.poni";
  if (!std::filesystem::exists(tiff) || !std::filesystem::exists(poni)) {
    std::printf("the shared Pilatus frame is absent: nothing to measure\n");
    return 0;
  }
  const std::filesystem::path program = std::filesystem::path(LV_BINARY_DIR) / "lumivane";
  const auto dir = BenchTempFolder() / ("lv_series_bench_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);

  // The frames: the real image with fresh counting noise each. TIFF frames are the original
  // file with its one strip of 32-bit signed pixels (at byte 4096) replaced; the gaps stay
  // negative.
  int status = kStatusGood;
  DataSet original;
  if (!FInputDataWith(tiff.string(), FInputHooks{}, original, status)) {
    std::printf("cannot read %s\n", tiff.c_str());
    return 1;
  }
  std::ofstream listing(dir / "frames.txt");
  std::mt19937 random(5);
  const auto started = std::chrono::steady_clock::now();
  for (int f = 0; f < frames; ++f) {
    DataSet frame;
    IAllocateData(original.numX, original.numY, frame, status);
    IDefineWholeImage(frame, original.numX, original.numY);
    IDescriptionCopy(original, frame);
    for (std::size_t i = 0; i < IElementCount(original); ++i) {
      const float v = original.data[i];
      frame.data[i] = v > 0.0f ? static_cast<float>(std::poisson_distribution<int>(v)(random)) : v;
    }
    char name[32];
    std::snprintf(name, sizeof name, "frame_%05d.%s", f + 1, format.c_str());
    if (format == "cbf") {
      if (!FOutputData((dir / name).string(), kFormatCBF, frame, status)) {
        std::printf("cannot write the frames\n");
        return 1;
      }
    } else {
      std::filesystem::copy_file(tiff, dir / name);
      std::vector<std::int32_t> pixels(IElementCount(frame));
      // The reader keeps the file's rows as they come: row r of the data is file row r.
      for (std::size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<std::int32_t>(frame.data[i]);
      std::fstream out(dir / name, std::ios::in | std::ios::out | std::ios::binary);
      out.seekp(4096);
      out.write(reinterpret_cast<const char*>(pixels.data()),
                static_cast<std::streamsize>(pixels.size() * sizeof(std::int32_t)));
    }
    listing << name << "\n";
  }
  listing.close();
  std::printf("%d frames of %d x %d written in %.1f s\n", frames, original.numX, original.numY,
              Seconds(started));
  std::filesystem::copy_file(poni, dir / "frames.poni");

  // The program: the geometry from the PONI file, then the series.
  const std::string script =
      "Open_File frame_00001." + format + "\n"
      "Load_PONI frames.poni\n"
      "answer store 5\nanswer yes\nanswer @frames.txt\nanswer store 1\nanswer no\nanswer 1\n"
      "FS_Integrate\n"
      "Save_File scans0.bsl\n"
      "Exit\n";
  std::ofstream(dir / "series.lvs") << script;
  double ours[2] = {0.0, 0.0};
  for (int readAhead = 1; readAhead >= 0; --readAhead) {
    const std::string command = "cd '" + dir.string() + "' && LV_SERIES_READ_AHEAD=" +
                                std::to_string(readAhead) + " '" + program.string() +
                                "' --script series.lvs > run.txt 2>&1";
    const auto start = std::chrono::steady_clock::now();
    const int code = std::system(command.c_str());
    ours[readAhead] = Seconds(start);
    if (code != 0) {
      std::printf("the program failed (see %s/lumivane.log)\n", dir.c_str());
      return 1;
    }
  }
  DataSet scans;
  if (!FInputDataWith((dir / "scans0.bsl").string(), FInputHooks{}, scans, status) ||
      scans.numY != frames) {
    std::printf("the program's scans are missing\n");
    return 1;
  }
  const int bins = scans.numX;
  std::printf("ours: %d frames to %d-bin scans: %.3f s read ahead (%.1f ms a frame), %.3f s in turn\n",
              frames, bins, ours[1], 1e3 * ours[1] / frames, ours[0]);

  const std::string python = (dir / "reference.py").string();
  std::ofstream(python) << kScript;
  const std::string result = (dir / "reference.txt").string();
  const std::string command = "cd '" + dir.string() + "' && /usr/bin/python3 " + python +
                              " frames.poni frames.txt " + std::to_string(bins) + " " + result +
                              " > /dev/null 2>&1";
  double reference = 0.0;
  if (std::system(command.c_str()) != 0 || !(std::ifstream(result) >> reference)) {
    std::printf("pyFAI (python3-pyfai under /usr/bin/python3) is not available: no reference\n");
  } else {
    std::printf("pyFAI loop (fabio.open + integrate1d bbox csr): %.3f s (%.1f ms a frame)\n",
                reference, 1e3 * reference / frames);
    std::printf("ratio ours/pyFAI: %.3f read ahead, %.3f in turn (target at most 0.333)\n",
                ours[1] / reference, ours[0] / reference);
  }
  std::filesystem::remove_all(dir);
  return 0;
}
