#include "data/memory.h"

#include <sys/mman.h>

#include <cstdint>
#include <limits>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/status.h"

namespace {

// Large arrays (a 4096 x 4096 image of reals is 64 MiB, an Eiger 4M frame 18 MiB) are placed
// on 2 MiB boundaries and offered to the kernel for huge pages: filling a fresh 64 MiB array
// otherwise costs some sixteen thousand page faults, hundreds of milliseconds, more than
// reading the file does.
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kHugeFrom = std::size_t{8} << 20;

// Large arrays given back are kept for the next array of the same size (two at most, 512 MiB
// in all): a series of frames, or the same file read again, then lands in pages already mapped
// instead of faulting in and clearing fresh ones (for a 6M-pixel frame that took as long as
// decoding it). Not under AddressSanitizer, which must see every array freed.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kKeepSpares = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kKeepSpares = false;
#else
constexpr bool kKeepSpares = true;
#endif
#else
constexpr bool kKeepSpares = true;
#endif
constexpr std::size_t kMostSpares = 2;
constexpr std::size_t kMostSpareBytes = std::size_t{512} << 20;

struct Large {
  std::mutex mutex;
  std::unordered_map<void*, std::size_t> live;      // large arrays in use, and their sizes
  std::vector<std::pair<void*, std::size_t>> spare;  // given back, the latest last
};

Large& TheLarge() {
  static Large* large = new Large;  // lives past every static array's destruction
  return *large;
}

void* Allocate(std::size_t bytes) {
  if (bytes < kHugeFrom) return std::malloc(bytes);
  // aligned_alloc wants a multiple of the alignment; the byte count is far below the top of
  // size_t, so rounding up cannot wrap. Freed with free like any other array.
  const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  Large& large = TheLarge();
  const std::lock_guard<std::mutex> lock(large.mutex);
  for (auto it = large.spare.rbegin(); it != large.spare.rend(); ++it) {
    if (it->second == rounded) {
      void* result = it->first;
      large.spare.erase(std::next(it).base());
      large.live.emplace(result, rounded);
      return result;
    }
  }
  void* result = std::aligned_alloc(kHugePage, rounded);
  if (!result) {
    // The spares go back to the system before the request is given up.
    for (const auto& [p, size] : large.spare) std::free(p);
    large.spare.clear();
    result = std::aligned_alloc(kHugePage, rounded);
    if (!result) return nullptr;
  }
  // Advice only: where the kernel has no huge pages the array is as good as any other.
  madvise(result, rounded, MADV_HUGEPAGE);
  if (kKeepSpares) {
    try {
      large.live.emplace(result, rounded);
    } catch (...) {
      // Not kept for later: freed as any array when given back.
    }
  }
  return result;
}

}  // namespace

void IReleaseMemory(void* p) noexcept {
  if (!p) return;
  if (kKeepSpares) {
    Large& large = TheLarge();
    std::vector<void*> gone;
    {
      const std::lock_guard<std::mutex> lock(large.mutex);
      const auto it = large.live.find(p);
      if (it != large.live.end()) {
        const std::size_t size = it->second;
        large.live.erase(it);
        try {
          large.spare.emplace_back(p, size);
        } catch (...) {
          gone.push_back(p);
        }
        std::size_t total = 0;
        for (const auto& spare : large.spare) total += spare.second;
        while (!large.spare.empty() &&
               (large.spare.size() > kMostSpares || total > kMostSpareBytes)) {
          total -= large.spare.front().second;
          gone.push_back(large.spare.front().first);
          large.spare.erase(large.spare.begin());
        }
        p = nullptr;
      }
    }
    for (void* q : gone) std::free(q);
    if (!p) return;
  }
  std::free(p);
}

int IAllocateMemoryBytes(const char* caller, std::int64_t elementSize, std::int64_t count,
                         void*& result, int& status) {
  static constexpr IRoutine kR{"IAllocateMemory", "V0.5"};
  if (IBad(kR, status)) return kFalse;
  result = nullptr;

  auto fail = [&](const char* format, int code) {
    IMessageBox(IFormat(format, static_cast<long long>(elementSize), static_cast<long long>(count)),
                "Message:", IBoxIcon::kInformation);
    status = code;
    IErrorTrace((std::string("IAllocateMemory: called by: ") + caller).c_str(), "");
    return kFalse;
  };

  // An overflowing byte count is as impossible as a negative one: it must never turn into
  // a small allocation.
  constexpr auto kLimit = static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max());
  if (elementSize <= 0 || count <= 0 ||
      static_cast<std::uint64_t>(count) > kLimit / static_cast<std::uint64_t>(elementSize)) {
    return fail("Error: IAllocateMemory: size_element = %lli, num_elements = %lli",
                kStatusIntRange1);
  }
  result = Allocate(static_cast<std::size_t>(elementSize) * static_cast<std::size_t>(count));
  if (!result) {
    return fail("Error: IAllocateMemory failed: size_element = %lli, num_elements = %lli",
                kStatusMemory);
  }
  return kTrue;
}
