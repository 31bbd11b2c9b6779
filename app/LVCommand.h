// The command interpreter. Every menu choice, mouse event, scroll and repaint reaches the
// system as a named command with a CommandEvent; LVCommand looks the name up in a table of
// declared commands, chooses the stores the command works on, runs it and reports the status.
//
// Each subsystem declares its own commands (one LVCommandSpec each) in a registrar that
// LVRegisterAllCommands calls; the interpreter itself knows no command by name.
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
};

void LVRegisterCommand(LVCommandSpec spec);
bool LVCommandRegistered(const std::string& name);
std::vector<std::string> LVCommandNames();

// Declares every command of every built subsystem (idempotent).
void LVRegisterAllCommands();

int LVCommand(const std::string& name, const CommandEvent& event, int& status);
int LVCommandLine(const std::string& commandLine, int& status);

// The status that the last command left before its report (command scripts use it to tell
// failure from success even when the report's question reset the status).
int LVLastCommandStatus();
// True once the first command has run the one-time initialisation.
bool LVInitialised();
// Returns the interpreter to its state at program start (tests).
void LVResetInterpreter();

// What the first paint of the window does: the one-time initialisation and the opening of a
// file named on the command line (through "Plot_Data" once the display is built).
int LVFirstPaint(int& status);

// Redraws the main window: runs "Plot_Data" when the display is built.
int LVRedraw(int& status);
