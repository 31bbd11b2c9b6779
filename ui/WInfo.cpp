#include "ui/WInfo.h"

#include <array>

#include "core/status.h"
#include "platform/Platform.h"

namespace {

struct Ring {
  std::array<std::string, kInfoRingSize> lines;
  int newest = -1;
  int held = 0;
};

Ring& TheRing() {
  static Ring ring;
  return ring;
}

}  // namespace

int IInfoAddLine(const std::string& text, int& status) {
  static constexpr IRoutine kR{"IInfoAddLine", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  Ring& ring = TheRing();
  ring.newest = (ring.newest + 1) % kInfoRingSize;
  ring.lines[static_cast<std::size_t>(ring.newest)] =
      text.size() > kLineLength ? text.substr(0, kLineLength) : text;
  if (ring.held < kInfoRingSize) ++ring.held;
  PCurrentBackend().InfoLine(ring.lines[static_cast<std::size_t>(ring.newest)]);
  return kTrue;
}

std::vector<std::string> IInfoLines() {
  const Ring& ring = TheRing();
  std::vector<std::string> result;
  result.reserve(static_cast<std::size_t>(ring.held));
  for (int k = ring.held - 1; k >= 0; --k) {
    const int index = (ring.newest - k + kInfoRingSize) % kInfoRingSize;
    result.push_back(ring.lines[static_cast<std::size_t>(index)]);
  }
  return result;
}

void IInfoClear() {
  TheRing() = Ring{};
}
