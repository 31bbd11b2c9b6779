// The table of declared commands. A command is one row: its name, its work routine, how it
// chooses a second store, its prompt, whether only stores with data are offered, what becomes
// the main store afterwards and whether it ends with the status report. Each subsystem
// declares its own rows; the interpreter (app/LVCommand) looks names up here.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "data/DataStores.h"

struct CommandEvent {
  int window = -1;
  std::string text;   // file name; "?" asks the user
  int value = 0;
  float realX = 0.0f, realY = 0.0f;
  int x = 0, y = 0;
};

// How a command chooses its second store with the pop-up.
enum class LVChoose {
  kNone,
  kOperand,  // remembered in the operand index
  kOutput,   // remembered in the output index
  kModel,    // remembered in the model index
  kAny,      // any store, none greyed, nothing remembered
};

// What happens to the main store after the work.
enum class LVThen { kNothing, kMainIsChosen, kMainIsChosenOnSuccess };

// What a work routine receives.
struct LVCommandCall {
  const CommandEvent& event;
  DataStores& stores;
  DataSet& main;
  DataSet* chosen;   // the store chosen in the pop-up, when the command chooses one
  int chosenIndex;
  int& status;
  bool skipReport = false;  // a work routine may withhold the report (rare)
  // The work found nothing to do (a setting already in place): its false result is then no
  // failure (command scripts count failures).
  bool nothingToDo = false;
};

using LVWork = std::function<int(LVCommandCall&)>;

struct LVCommandSpec {
  std::string name;
  LVWork work;
  LVChoose choose = LVChoose::kNone;
  std::string prompt;       // the pop-up's prompt
  bool definedOnly = false; // only stores with defined data are offered
  LVThen then = LVThen::kNothing;
  bool report = true;       // false: the status report is left to the next command
  // True for the commands that change no data (the redraw, the colour tables): they do not
  // move the data generation, so a repaint after them keeps the intensity range found before.
  bool keepsData = false;
  // True for the commands that set, fit or load the experiment geometry on the main store:
  // what they change there becomes the experiment's (data/Experiment.h).
  bool setsGeometry = false;
};

void LVRegisterCommand(LVCommandSpec spec);
bool LVCommandRegistered(const std::string& name);
std::vector<std::string> LVCommandNames();

// The declared row of a name (trailing blanks ignored, case kept), or null.
const LVCommandSpec* LVFindCommand(const std::string& name);
