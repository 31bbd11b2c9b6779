// The command interpreter. Every menu choice, mouse event, scroll and repaint reaches the
// system as a named command with a CommandEvent; LVCommand looks the name up in the table of
// declared commands (ui/LVCommandRegistry.h), chooses the stores the command works on, runs
// it and reports the status.
//
// Each subsystem declares its own commands in a registrar that LVRegisterAllCommands calls;
// the interpreter itself knows no command by name.
#pragma once

#include <string>

#include "ui/LVCommandRegistry.h"

// Declares every command of every built subsystem (idempotent).
void LVRegisterAllCommands();

int LVCommand(const std::string& name, const CommandEvent& event, int& status);
int LVCommandLine(const std::string& commandLine, int& status);

// The status that the last command left before its report (command scripts use it to tell
// failure from success even when the report's question reset the status).
int LVLastCommandStatus();
// Whether the last command said it had nothing to do (LVCommandCall::nothingToDo), so that its
// false result is no failure.
bool LVLastCommandHadNothingToDo();
// False when the file named on the command line was refused (true when none was named).
bool LVCommandLineFileOpened();
// True while a command runs (a dialog it opened may be running the event loop meanwhile).
bool LVCommandRunning();
// True once the first command has run the one-time initialisation.
bool LVInitialised();
// Returns the interpreter to its state at program start (tests).
void LVResetInterpreter();
// The steps the first command runs before its own work (the frame's start of menus, display,
// information window and stores; LVRegisterAllCommands sets them). A false result ends the
// command.
void LVSetFirstCommandSteps(int (*steps)(int& status));

// What the first paint of the window does: the one-time initialisation and the opening of a
// file named on the command line (through "Plot_Data" once the display is built).
int LVFirstPaint(int& status);

// Redraws the main window: runs "Plot_Data" when the display is built.
int LVRedraw(int& status);
