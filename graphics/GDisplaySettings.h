// The display choices: intensity-range method and range, linear or logarithmic scaling, the
// 1024-entry false-colour table and the mask colour. One process-wide instance.
#pragma once

#include <array>
#include <cstdint>

inline constexpr int kColourLevels = 1024;

enum GRangeMethod : int {
  kRangeFull = 222,
  kRangeWeakPeak = 223,
  kRangeAutoMinimum = 224,
  kRangeAutoMaximum = 225,
  kRangeFixed = 226,
  kRangeSet = 228,
  kRangeIncreaseMinimum = 229,
  kRangeDecreaseMinimum = 230,
  kRangeIncreaseMaximum = 231,
  kRangeDecreaseMaximum = 232,
  // Beyond the classic methods: the 0.5 and 99.5 percentiles of the unmasked pixels in view,
  // so a few hot pixels do not turn the picture black.
  kRangePercentile = 240,
};

// A method code the display can use.
inline bool GKnownRangeMethod(int method) {
  return (method >= kRangeFull && method <= kRangeDecreaseMaximum) || method == kRangePercentile;
}

enum GLinearity : int { kLinear = 176, kLogarithmic = 177 };

struct GRGB {
  std::uint8_t red = 0, green = 0, blue = 0;
  bool operator==(const GRGB&) const = default;
};

struct DisplaySettings {
  int intensityMethod = kRangeFull;
  float intensityMinimum = 0.0f;
  float intensityMaximum = 1.0f;
  int linearity = kLinear;
  int colourTable = 705;
  std::array<GRGB, kColourLevels> colours{};
  GRGB maskColour{255, 60, 200};
};

DisplaySettings& GDisplay();
void GResetDisplaySettings();
