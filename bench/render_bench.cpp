// Rendering speed: the visible part of a 4096 x 4096 image (a 1600 x 1000 area at reduction 3
// and at magnification 1) into the display bitmap, linear and logarithmic, against a plain
// memory copy of the same number of bitmap bytes measured in the same run. Then what a user's
// repaint costs: the whole GDrawImage into a 1608 x 1008 window, with the intensity range kept
// from the repaint before (a redraw with nothing changed) against the range found afresh (the
// first repaint after a command).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "core/status.h"
#include "data/DataSet.h"
#include "graphics/GColourTables.h"
#include "graphics/GDisplaySettings.h"
#include "graphics/GGraphics.h"
#include "graphics/GImage.h"
#include "graphics/GRender.h"
#include "platform/Headless.h"
#include "platform/PCanvas.h"

namespace {

using Clock = std::chrono::steady_clock;

template <class F>
double BestMs(F work, int runs = 7) {
  double best = 1e30;
  for (int k = 0; k < runs; ++k) {
    const auto start = Clock::now();
    work();
    best = std::min(best, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  return best;
}

}  // namespace

int main() {
  int status = kStatusGood;
  IResetStatus(status);
  GSetColourTable(705, 1024, status);
  DataSet d;
  IInitialiseData(d, status);
  IAllocateData(4096, 4096, d, status);
  unsigned seed = 7;
  for (std::size_t i = 0; i < IElementCount(d); ++i) {
    seed = seed * 1103515245u + 12345u;
    d.data[i] = static_cast<float>((seed >> 12) % 5000) + 1.0f;
  }
  d.numX = d.numY = 4096;
  d.endX = d.endY = 4095;
  d.dataDefined = kTrue;

  struct Case {
    const char* name;
    int magnification, reduction, width, height;
  };
  // Reduction 5 shows the whole image.
  const Case cases[] = {{"reduction 5", 0, 5, 820, 820},
                        {"reduction 3", 0, 3, 1365, 1000},
                        {"magnification 1", 1, 1, 1600, 1000}};
  std::printf("%-16s %10s %10s %10s %8s %8s\n", "view", "linear ms", "log ms", "memcpy ms",
              "lin/cpy", "log/lin");
  for (const Case& c : cases) {
    d.magnification = c.magnification;
    d.reduction = c.reduction;
    const int stride = (c.width + 3) / 4 * 4;
    std::vector<std::uint8_t> bits(static_cast<std::size_t>(stride) * c.height * 3);
    std::vector<std::uint8_t> source(bits.size(), 1);
    auto linear = c.magnification == 0 ? GLinearRebinScaledImage : GLinearScaledImage;
    auto logarithmic = c.magnification == 0 ? GLogRebinScaledImage : GLogScaledImage;
    const double lin = BestMs([&] {
      linear(1.0f, 5000.0f, 0, 0, d, c.width, c.height, stride, bits.data(), status);
    });
    const double log = BestMs([&] {
      logarithmic(1.0f, 5000.0f, 0, 0, d, c.width, c.height, stride, bits.data(), status);
    });
    const double copy = BestMs([&] { std::memcpy(bits.data(), source.data(), bits.size()); });
    std::printf("%-16s %10.2f %10.2f %10.3f %8.1f %8.2f\n", c.name, lin, log, copy, lin / copy,
                log / lin);
  }

  // The whole repaint, as "Plot_Data" does it, into the headless stand-in window.
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  PEnsureApplication();
  auto backend = std::make_unique<PHeadlessBackend>();
  PHeadlessBackend* headless = backend.get();
  PInstallBackend(std::move(backend));
  GResetState();
  GResetDisplaySettings();
  GSetColourTable(705, 1024, status);
  headless->SetClientSize(1608, 1008);
  std::printf("\n%-16s %12s %12s %14s\n", "repaint", "kept ms", "rescanned ms",
              "kept/rescanned");
  for (const Case& c : cases) {
    d.magnification = c.magnification;
    d.reduction = c.reduction;
    d.displayStartX = d.displayStartY = 0;
    auto repaint = [&] {
      GDrawImage(headless->Canvas(), 3, 3, 1600, 1000, d, status);
    };
    const IDataSteadyScope redraw;
    const double rescanned = BestMs([&] {
      IDataChanged();  // as after any command
      repaint();
    });
    repaint();
    const double kept = BestMs(repaint);
    std::printf("%-16s %12.2f %12.2f %14.2f\n", c.name, kept, rescanned, kept / rescanned);
  }
  return status == kStatusGood ? 0 : 1;
}
