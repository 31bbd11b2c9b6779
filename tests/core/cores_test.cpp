#include "core/cores.h"

#include <sched.h>
#include <stdlib.h>

#include <thread>

#include <gtest/gtest.h>

// Threads follow the cores the scheduler grants (the affinity mask), capped by LV_THREADS.
TEST(Cores, TheAffinityMaskAndLVThreadsBoundTheThreads) {
  cpu_set_t all;
  ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
  const unsigned granted = static_cast<unsigned>(CPU_COUNT(&all));
  int first = 0;
  while (!CPU_ISSET(first, &all)) ++first;

  const struct {
    const char* cap;  // LV_THREADS, or none
    bool oneCore;     // the thread pinned to one core first
    unsigned expected;
  } rows[] = {
      {nullptr, false, granted}, {nullptr, true, 1u},   {"1", false, 1u},
      {"100000", false, granted}, {"0", false, granted}, {"-3", false, granted},
      {"2x", false, granted},     {"", false, granted},  {"2", true, 1u},
  };
  for (const auto& row : rows) {
    if (row.cap) setenv("LV_THREADS", row.cap, 1); else unsetenv("LV_THREADS");
    unsigned got = 0;
    std::thread run([&] {
      if (row.oneCore) {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(first, &one);
        sched_setaffinity(0, sizeof one, &one);
      }
      got = ICoresAvailable();
    });
    run.join();
    EXPECT_EQ(got, row.expected) << (row.cap ? row.cap : "(unset)") << " " << row.oneCore;
  }
  unsetenv("LV_THREADS");
}
