#include "data/memory.h"

#include <sys/mman.h>

#include <cstdint>
#include <limits>
#include <string>

#include "core/status.h"

namespace {

// Large arrays (a 4096 x 4096 image of reals is 64 MiB, an Eiger 4M frame 18 MiB) are placed
// on 2 MiB boundaries and offered to the kernel for huge pages: filling a fresh 64 MiB array
// otherwise costs some sixteen thousand page faults, hundreds of milliseconds, more than
// reading the file does.
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kHugeFrom = std::size_t{8} << 20;

void* Allocate(std::size_t bytes) {
  if (bytes < kHugeFrom) return std::malloc(bytes);
  // aligned_alloc wants a multiple of the alignment; the byte count is far below the top of
  // size_t, so rounding up cannot wrap. Freed with free like any other array.
  const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  void* result = std::aligned_alloc(kHugePage, rounded);
  // Advice only: where the kernel has no huge pages the array is as good as any other.
  if (result) madvise(result, rounded, MADV_HUGEPAGE);
  return result;
}

}  // namespace

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
