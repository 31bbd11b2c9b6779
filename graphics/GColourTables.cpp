#include "graphics/GColourTables.h"

#include <vector>

#include "core/status.h"
#include "core/database.h"
#include "graphics/GGraphics.h"
#include "ui/LVCommandRegistry.h"

DisplaySettings& GDisplay() {
  static DisplaySettings settings;
  return settings;
}

void GResetDisplaySettings() { GDisplay() = DisplaySettings{}; }

namespace {

using Table = std::vector<GControlColour>;

const Table kBlackPurpleWhite = {{0, 0, 0},     {0.167f, 0, 0.167f}, {0.334f, 0, 0.334f},
                                 {0.5f, 0, 0.5f}, {0.65f, 0, 0.4f},  {0.75f, 0, 0},
                                 {0.9f, 0.5f, 0}, {1, 0.77f, 0},     {1, 1, 0},
                                 {1, 1, 1}};
const Table kBlueYellowRed = {{0, 0, 0.4f}, {0, 0, 0.8f}, {0, 0.85f, 0.85f},
                              {0.6f, 1, 0}, {1, 1, 0},    {1, 0.75f, 0},
                              {1, 0, 0},    {0.5f, 0, 0}, {0, 0, 0}};
const Table kColourWheel = {{1, 0, 1}, {0, 0, 1}, {0, 1, 1}, {0, 1, 0},
                            {1, 1, 0}, {1, 0, 0}, {1, 0, 0.99f}};
const Table kGeographical = {{0, 0, 0},
                             {0, 0, 0.3f},
                             {0, 0, 0.6f},
                             {0.3f, 0.3f, 0.8f},
                             {0.6f, 0.6f, 0.8f},
                             {0.66f, 0.83f, 0.64f},
                             {0.545f, 0.87f, 0.219f},
                             {0.757f, 0.925f, 0.384f},
                             {0.875f, 0.965f, 0.44f},
                             {1, 1, 0.475f},
                             {1, 0.77f, 0.36f},
                             {1, 0.749f, 0},
                             {0.78f, 0.509f, 0},
                             {0.8666f, 0.235f, 1},
                             {0.8666f, 0.61f, 1},
                             {0.9333f, 0.805f, 1},
                             {1, 1, 1}};
const Table kGrey = {{0, 0, 0}, {1, 1, 1}};
const Table kHotspots = {{0, 0, 0},       {0.2f, 0, 0.2f},  {0, 0, 0.35f},   {0, 0, 0.5f},
                         {0, 0.53f, 0.27f}, {0, 0.55f, 0},  {0.55f, 0.66f, 0}, {0.8f, 0.8f, 0},
                         {1, 0.5f, 0},    {1, 0, 0},        {1, 0.5f, 0.5f}, {1, 1, 1}};
const Table kInverseGrey = {{1, 1, 1}, {0, 0, 0}};
const Table kPsychological = {{0, 0, 0},        {0.4f, 0, 0.4f},     {0.25f, 0, 0.55f},
                              {0, 0, 0.6f},     {0, 0.4f, 0.45f},    {0, 0.475f, 0},
                              {0, 0.55f, 0},    {0.68f, 0.45f, 0.35f}, {1, 0, 0},
                              {1, 0.57f, 0},    {1, 1, 0},           {1, 1, 1}};
const Table kRepeating = {{1, 0, 1}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0},
                          {0, 1, 1}, {0, 0, 1}, {1, 1, 1}};
const Table kTemperature = {{0, 0, 0}, {0.7f, 0, 0}, {1, 0.57f, 0}, {1, 1, 0}, {1, 1, 1}};

std::uint8_t Component(float value) {
  return static_cast<std::uint8_t>(GTruncate(static_cast<double>(value) * 255.0 + 0.4999999));
}

}  // namespace

int GCalColourTable(int points, const GControlColour* control, int entries, int levels,
                    GRGB* table, int& status) {
  static constexpr IRoutine kR{"GCalColourTable", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (points < 1 || entries < 1 || levels < 1) return IFail(kR, kStatusIntRange1, status);
  for (int i = 0; i < entries; ++i) {
    const int q = static_cast<int>(static_cast<long long>(levels) * i / entries);
    const float e = static_cast<float>(points - 1) * static_cast<float>(q) /
                    static_cast<float>(levels);
    const int k = static_cast<int>(e);
    const int k1 = std::min(k + 1, points - 1);
    const float f = e - static_cast<float>(k);
    const GControlColour& a = control[k];
    const GControlColour& b = control[k1];
    table[i].red = Component((1.0f - f) * a.red + f * b.red);
    table[i].green = Component((1.0f - f) * a.green + f * b.green);
    table[i].blue = Component((1.0f - f) * a.blue + f * b.blue);
  }
  return kTrue;
}

int GCalRepeatingColourTable(int points, const GControlColour* control, int entries, int levels,
                             GRGB* table, int& status) {
  static constexpr IRoutine kR{"GCalRepeatingColourTable", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (points < 1 || entries < 1 || levels < 1) return IFail(kR, kStatusIntRange1, status);
  for (int i = 0; i < entries; ++i) {
    const int q = static_cast<int>(static_cast<long long>(levels) * i / entries);
    const float e = static_cast<float>(points) * static_cast<float>(q) / static_cast<float>(levels);
    const int k = static_cast<int>(e);
    const GControlColour& p = control[std::min(k, points - 1)];
    const float f = e - static_cast<float>(k);
    table[i].red = Component(f * p.red);
    table[i].green = Component(f * p.green);
    table[i].blue = Component(f * p.blue);
  }
  return kTrue;
}

int GSetColourTable(int code, int levels, int& status) {
  static constexpr IRoutine kR{"GSetColourTable", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  const Table* table = nullptr;
  switch (code) {
    case 701: table = &kBlackPurpleWhite; break;
    case 702: table = &kBlueYellowRed; break;
    case 703: table = &kColourWheel; break;
    case 704: table = &kInverseGrey; break;
    case 705: table = &kGeographical; break;
    case 706: table = &kGrey; break;
    case 707: table = &kHotspots; break;
    case 708: table = &kInverseGrey; break;
    case 709: table = &kPsychological; break;
    case 710: table = &kRepeating; break;
    case 711: table = &kTemperature; break;
    default:
      IWarning("GSetColourTable; Unknown colour table choice", status);
      return kFalse;
  }
  std::array<GRGB, kColourLevels> colours{};
  if (code == 710) {
    GCalRepeatingColourTable(static_cast<int>(table->size()), table->data(), kColourLevels,
                             levels, colours.data(), status);
  } else {
    GCalColourTable(static_cast<int>(table->size()), table->data(), kColourLevels, levels,
                    colours.data(), status);
  }
  if (code == 704) {
    // Twelve contour bands, two entries each, in the colours of the psychological table.
    for (int k = 0; k < 12; ++k) {
      const GControlColour& c = kPsychological[static_cast<std::size_t>(k)];
      const int j = GTruncate((k + 0.5) * 85.33333333333333 + 0.4999999);
      const GRGB band{Component(c.red), Component(c.green), Component(c.blue)};
      colours[static_cast<std::size_t>(j)] = band;
      if (j + 1 < kColourLevels) colours[static_cast<std::size_t>(j + 1)] = band;
    }
  }
  if (status != kStatusGood) return kFalse;
  GDisplay().colours = colours;
  GDisplay().colourTable = code;
  return kTrue;
}

int GRotateColourTable(int shift, int& status) {
  static constexpr IRoutine kR{"GRotateColourTable", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  const int d = ((shift % kColourLevels) + kColourLevels) % kColourLevels;
  const auto old = GDisplay().colours;
  for (int i = 0; i < kColourLevels; ++i) {
    GDisplay().colours[static_cast<std::size_t>((i + d) % kColourLevels)] =
        old[static_cast<std::size_t>(i)];
  }
  return kTrue;
}

void LVRegisterColourCommands() {
  LVRegisterCommand({.name = "LUT_Set", .work = [](LVCommandCall& call) {
                       if (!GSetColourTable(call.event.value, kColourLevels, call.status)) {
                         return kFalse;
                       }
                       ISetDBIntItem("Colour_Table", call.event.value, call.status);
                       return kTrue;
                     },
                     .keepsData = true});
  LVRegisterCommand({.name = "LUT_Rotate",
                     .work = [](LVCommandCall& call) {
                       return GRotateColourTable(call.event.value, call.status);
                     },
                     .keepsData = true});
}
