// The information window's message ring: the last 100 lines of the run, newest last. The
// drawing of the framed region comes with the main window; without one, lines are only kept.
#pragma once

#include <string>
#include <vector>

inline constexpr int kInfoRingSize = 100;

int IInfoAddLine(const std::string& text, int& status);
// The lines held, oldest first.
std::vector<std::string> IInfoLines();
void IInfoClear();
