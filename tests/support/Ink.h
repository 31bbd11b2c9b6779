// Reading pictures in tests: where the ink lies along a line of columns or rows, so that a
// test can tell numbers, the gap after them and a label apart.
#pragma once

#include <cstdlib>
#include <functional>
#include <vector>

// Consecutive lines holding ink, in the order walked (first and last as met).
struct InkRun {
  int first = 0, last = 0;
};

// Walks the lines from `from` to `to` (either direction, both included) and gathers the runs
// of lines for which `inkOf` counts any ink.
inline std::vector<InkRun> InkRuns(int from, int to, const std::function<int(int)>& inkOf) {
  std::vector<InkRun> runs;
  const int step = to >= from ? 1 : -1;
  bool inRun = false;
  for (int line = from;; line += step) {
    const bool ink = inkOf(line) > 0;
    if (ink && !inRun) runs.push_back({line, line});
    if (ink) runs.back().last = line;
    inRun = ink;
    if (line == to) break;
  }
  return runs;
}

// Blank lines between two runs met one after the other.
inline int InkGap(const InkRun& before, const InkRun& after) {
  return std::abs(after.first - before.last) - 1;
}
