// Work done first by a forked child: how it ended, and nothing of it reaching the parent.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "core/child.h"

TEST(RunInChild, TellsHowTheWorkEndedAndLeavesTheParentAsItWas) {
  int value = 1;
  EXPECT_EQ(IRunInChild([&] { value = 2; }, 10.0), IChildEnd::kNormally);
  EXPECT_EQ(value, 1) << "the child works on a copy";

  // A crash (here an abort) or an exit code of its own is a failure.
  EXPECT_EQ(IRunInChild([] { std::abort(); }, 10.0), IChildEnd::kFailed);
  EXPECT_EQ(IRunInChild([] { _exit(3); }, 10.0), IChildEnd::kFailed);

  // Work that does not end in time is stopped, and the wait is about the time allowed.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(IRunInChild([] { sleep(30); }, 0.3), IChildEnd::kTooLong);
  const double waited =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(waited, 5.0);
}
