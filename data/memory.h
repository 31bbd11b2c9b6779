// The single allocation point. Every array of the system comes from IAllocateMemory, which
// names its caller when it fails, and is owned through IArray, which frees it on every path.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

// Gives an array back: large ones are kept a while for the next array of their size.
void IReleaseMemory(void* p) noexcept;

struct IFreeDeleter {
  void operator()(void* p) const noexcept { IReleaseMemory(p); }
};

template <class T>
using IArray = std::unique_ptr<T[], IFreeDeleter>;

// Allocates elementSize * count bytes. A non-positive size, or one whose byte count does not
// fit in memory's address range, fails with status 21; an exhausted heap with 1002. Both
// show a box and leave "IAllocateMemory: called by: <caller>" in the error trace.
int IAllocateMemoryBytes(const char* caller, std::int64_t elementSize, std::int64_t count,
                         void*& result, int& status);

template <class T>
int IAllocateMemory(const char* caller, std::int64_t count, IArray<T>& result, int& status) {
  void* raw = nullptr;
  if (!IAllocateMemoryBytes(caller, static_cast<std::int64_t>(sizeof(T)), count, raw, status)) {
    return 0;
  }
  result.reset(static_cast<T*>(raw));
  return -1;
}
