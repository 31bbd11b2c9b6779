#include "commands/LVSimulate.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <cstdio>
#include <string>
#include <vector>

#include "ui/LVCommandRegistry.h"
#include "core/database.h"
#include "core/status.h"
#include "core/text.h"
#include "commands/LVGeometry.h"
#include "fileio/FRawData.h"
#include "maths/MGeometry.h"
#include "maths/MSimulate.h"
#include "platform/Platform.h"
#include "ui/LVFileSelect.h"
#include "ui/LVMenus.h"
#include "ui/WDialogs.h"

namespace {

constexpr int kMaximumUserRings = 30;

// The calibrant menu: entries 440 to 448 stand for codes 300 to 308.
int ChooseCalibrant(int& code, int& status) {
  PPopupMenu menu;
  menu.title = "Select calibrant for simulated powder pattern";
  for (int c = kCalibrantAlumina; c <= kCalibrantParaffinWax; ++c) {
    std::string name = "User specified from file";
    std::vector<float> unused;
    MCalibrantTable(c, name, unused);
    menu.entries.push_back({c + 140, name});
  }
  (void)status;
  const int id = PCurrentBackend().PopupMenu(menu, 200, 200);
  if (id < 440 || id > 448) return kFalse;
  code = id - 140;
  return kTrue;
}

// A d-spacings file: one real (Angstrom) per line, '!' starts a comment line.
int ReadDSpacings(std::vector<float>& dSpacings, std::string& fileName, int& status) {
  static constexpr IRoutine kR{"LVSimulatePowder", "V0.1"};
  fileName = "sample.Ds";
  IGetDBItem("Calibrant_User_File", fileName, status);
  if (!LVSelectDsFile(256, fileName, status)) return kFalse;
  // A device or a pipe named here would never end or never answer.
  bool refused = false;
  std::FILE* file = FOpenInputFile(kR.name, fileName, "r", refused, status);
  if (refused) return kFalse;
  if (!file) {
    errno = 0;
    return IFail(kR, kStatusFileOpen, status);
  }
  dSpacings.clear();
  std::string line;
  while (static_cast<int>(dSpacings.size()) < kMaximumUserRings && IReadLine(file, 257, line)) {
    const int first = IFirstNonBlank(line, 0);
    if (first >= 0 && first < static_cast<int>(line.size()) && line[first] == '!') continue;
    float value = 0.0f;
    int local = kStatusGood;
    if (!IToken2Real(line, value, local) || !(value > 0.0f)) {
      IWarning(IFormat("Problem converting to a real value: %s", line.c_str()), status);
      continue;
    }
    dSpacings.push_back(value);
  }
  std::fclose(file);
  ISetDBItem("Calibrant_User_File", fileName, status);
  IInfo(IFormat("%i D-spacings input from %s", static_cast<int>(dSpacings.size()),
                fileName.c_str()),
        status);
  return kTrue;
}

int AskInteger(const std::string& prompt, const char* key, int lower, int upper, int& value,
               int& status) {
  IGetDBIntItem(key, value, status);
  if (!WGetInteger({prompt, kTrue, kTrue, lower, upper, value, status})) return kFalse;
  ISetDBIntItem(key, value, status);
  return kTrue;
}

int AskReal(const char* routine, const std::string& prompt, const char* key, float lower,
            float upper, float& value, int& status) {
  IGetDBRealItem(key, value, status);
  if (!LVAskReal(routine, prompt, lower, upper, value, status)) return kFalse;
  ISetDBRealItem(key, value, status);
  return kTrue;
}

}  // namespace

int LVSimulatePowder(int calibrant, DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVSimulatePowder", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  int code = calibrant;
  if (code < kCalibrantAlumina || code > kCalibrantParaffinWax) {
    if (!ChooseCalibrant(code, status)) return kFalse;
  }
  PowderSimulation simulation;
  std::string name;
  if (code == kCalibrantUserFile) {
    std::string fileName;
    if (!ReadDSpacings(simulation.dSpacings, fileName, status)) return kFalse;
    name = fileName;
  } else {
    MCalibrantTable(code, name, simulation.dSpacings);
  }
  if (simulation.dSpacings.empty()) {
    IWarning("LVSimulatePowder: no d-spacings to simulate", status);
    return kFalse;
  }

  // An image already in the store keeps its size (and mask); otherwise one is made.
  if (!d.dataAllocated || !d.data) {
    int columns = 1024, rows = 1024;
    if (!AskInteger("ENTER NUMBER OF PIXELS IN X-DIRECTION:", "Simulate_Powder_Columns", 1, 32768,
                    columns, status) ||
        !AskInteger("ENTER NUMBER OF PIXELS IN Y-DIRECTION:", "Simulate_Powder_Rows", 1, 32768,
                    rows, status)) {
      return kFalse;
    }
    if (!IAllocateData(columns, rows, d, status)) return kFalse;
  }

  float width = 0.1f, intensity = 1000.0f, background = 10.0f;
  int noise = kTrue;
  IGetDBBooleanItem("Simulate_Powder_Noise", noise, status);
  if (!AskReal(kR.name, "ENTER RING WIDTH (FWHM) IN DEGREES 2-THETA:", "Simulate_Powder_Width",
               0.0001f, 10.0f, width, status) ||
      !AskReal(kR.name, "ENTER PEAK INTENSITY OF THE INNERMOST RINGS:",
               "Simulate_Powder_Intensity", 0.0f, 1.0e9f, intensity, status) ||
      !AskReal(kR.name, "ENTER FLAT BACKGROUND LEVEL:", "Simulate_Powder_Background", 0.0f,
               1.0e9f, background, status) ||
      !WGetBoolean({"ADD POISSON NOISE ?", kTrue, noise, status})) {
    return kFalse;
  }
  ISetDBBooleanItem("Simulate_Powder_Noise", noise, status);
  simulation.fwhm = static_cast<float>(width * kDegreesToRadians);
  simulation.peakIntensity = intensity;
  simulation.fallOff = static_cast<float>(30.0 * kDegreesToRadians);
  simulation.background = background;
  simulation.poissonNoise = noise ? kTrue : kFalse;

  PCurrentBackend().SetBusyCursor(true);
  const int ok = MSimulatePowder(d, simulation, status);
  PCurrentBackend().SetBusyCursor(false);
  if (!ok) return kFalse;
  ISetText(d.title, IFormat("Simulated powder pattern of %s", name.c_str()));
  d.fileName = "simulated_powder.dat";
  IInfo(IFormat("Main data simulated: %i powder rings of %s",
                static_cast<int>(simulation.dSpacings.size()), name.c_str()),
        status);
  return kTrue;
}

int LVSimulate(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVSimulate", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (!d.dataAllocated || !d.data) return IFail(kR, kStatusNotAllocated, status);
  for (int y = 0; y < d.dimY; ++y) {
    float* row = d.data.get() + IIndex(d, 0, y);
    for (int x = 0; x < d.dimX; ++x) row[x] = static_cast<float>(x);
  }
  d.numX = d.dimX;
  d.numY = d.dimY;
  d.startX = d.startY = 0;
  d.endX = d.dimX - 1;
  d.endY = d.dimY - 1;
  d.dataDefined = kTrue;
  d.mask.reset();
  d.maskAllocated = d.maskDefined = d.maskInUse = kFalse;
  IDataChanged();
  return kTrue;
}

int LVSimulateData(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVSimulateData", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (!IAllocateData(1100, 900, d, status)) {
    IError("LVSimulateData; Failed to allocate memory for data array", status);
    return kFalse;
  }
  if (!LVSimulate(d, status)) return kFalse;
  ISetText(d.title, "Simulated data");
  d.fileName = "simulated.dat";
  IInfo("Main data simulated", status);
  return kTrue;
}

int LVTest(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVTest", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (!d.dataAllocated || !d.data) return IFail(kR, kStatusNotAllocated, status);
  std::fill(d.data.get(), d.data.get() + IElementCount(d), 0.0f);
  d.startX = d.dimX / 10;
  d.endX = d.dimX - d.dimX / 10 - 1;
  d.startY = d.dimY / 10;
  d.endY = d.dimY - d.dimY / 10 - 1;

  // The cost of one reading of the processor clock, taken off both timings.
  const std::clock_t c0 = std::clock();
  const std::clock_t c1 = std::clock();
  const double reading = static_cast<double>(c1 - c0) / CLOCKS_PER_SEC;

  float* data = d.data.get();
  const std::size_t dimX = static_cast<std::size_t>(d.dimX);
  std::clock_t start = std::clock();
  for (int y = d.startY; y <= d.endY; ++y)
    for (int x = d.startX; x <= d.endX; ++x)
      data[static_cast<std::size_t>(x) + static_cast<std::size_t>(y) * dimX] = 7.5f;
  const double raw = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC - reading;

  start = std::clock();
  for (int y = d.startY; y <= d.endY; ++y) {
    float* pointer = data + static_cast<std::size_t>(d.startX) + static_cast<std::size_t>(y) * dimX;
    for (int x = d.startX; x <= d.endX; ++x) *pointer++ = 3.5f;
  }
  const double optimised = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC - reading;
  IInfo(IFormat("Calculation time raw indexing = %f", std::max(raw, 0.0)), status);
  IInfo(IFormat("Calculation time hand optimised = %f", std::max(optimised, 0.0)), status);
  d.dataDefined = kTrue;
  d.numX = d.dimX;
  d.numY = d.dimY;
  d.mask.reset();
  d.maskAllocated = d.maskDefined = d.maskInUse = kFalse;
  IDataChanged();
  return kTrue;
}

int LVTestTiming(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVTestTiming", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (!IAllocateData(4500, 3900, d, status)) {
    IError("LVTestTiming; Failed to allocate memory for data array", status);
    return kFalse;
  }
  if (!LVTest(d, status)) return kFalse;
  ISetText(d.title, "Timing test data");
  d.fileName = "timing_test_data.dat";
  return kTrue;
}

void LVRegisterSimulationCommands() {
  // Both make a new image in the main store; the menus follow it.
  auto making = [](int (*routine)(DataSet&, int&)) {
    return [routine](LVCommandCall& call) {
      if (!routine(call.main, call.status)) return kFalse;
      if (!LVSetDataCommands(call.main, call.status)) {
        call.skipReport = true;
        return kFalse;
      }
      return kTrue;
    };
  };
  LVRegisterCommand({.name = "Simulate_Data", .work = making(LVSimulateData)});
  LVRegisterCommand({.name = "Test_Timing", .work = making(LVTestTiming)});
  LVRegisterCommand({.name = "Add_Poisson_Distribution", .work = [](LVCommandCall& call) {
                       if (!call.main.dataDefined || !call.main.data) {
                         IWarning("MROIPoissonNoise: Data is not defined", call.status);
                         return kFalse;
                       }
                       if (!MROIPoissonNoise(call.main, call.status)) return kFalse;
                       IDataChanged();
                       IInfo("Main data values replaced by random values from Poisson "
                             "distributions",
                             call.status);
                       return kTrue;
                     }});
  // The image is simulated with the geometry as it stands: that is the geometry it has.
  LVRegisterCommand({.name = "Simulate_Powder",
                     .work = [](LVCommandCall& call) {
                       if (!LVSimulatePowder(call.event.value, call.main, call.status)) {
                         return kFalse;
                       }
                       if (!LVSetDataCommands(call.main, call.status)) {
                         call.skipReport = true;
                         return kFalse;
                       }
                       return kTrue;
                     },
                     .setsGeometry = true});
}
