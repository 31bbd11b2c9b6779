#include "data/memory.h"

#include <cstdint>
#include <limits>
#include <string>

#include "core/status.h"

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
  result = std::malloc(static_cast<std::size_t>(elementSize) * static_cast<std::size_t>(count));
  if (!result) {
    return fail("Error: IAllocateMemory failed: size_element = %lli, num_elements = %lli",
                kStatusMemory);
  }
  return kTrue;
}
