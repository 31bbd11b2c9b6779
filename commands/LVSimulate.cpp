#include "commands/LVSimulate.h"

#include <cerrno>
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

void LVRegisterSimulationCommands() {
  LVRegisterCommand({.name = "Simulate_Powder", .work = [](LVCommandCall& call) {
                       if (!LVSimulatePowder(call.event.value, call.main, call.status)) {
                         return kFalse;
                       }
                       if (!LVSetDataCommands(call.main, call.status)) {
                         call.skipReport = true;
                         return kFalse;
                       }
                       return kTrue;
                     }});
}
