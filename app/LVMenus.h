// The menu bar: one table of items (id, label, accelerator, the command it issues), from which
// the window's menus, the accelerators and LVMenuCommand are all made.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/QtBackend.h"

struct LVMenuItem {
  int id = 0;
  const char* label = "";      // empty: separator
  const char* shortcut = "";
  const char* command = "";    // the command issued; empty where the id is handled itself
  int value = 0;               // the event's value
  bool askFile = false;        // text "?": the user is asked for a file
  bool redraw = true;          // redraw after success
  bool checkable = false;
};

struct LVMenu {
  const char* title;
  std::vector<LVMenuItem> items;
};

const std::vector<LVMenu>& LVMenuTable();
const LVMenuItem* LVFindMenuItem(int id);

// The menus and key shortcuts in the form the window builds them.
std::vector<PMenuSpec> LVMenuSpecs();
std::vector<PShortcutSpec> LVShortcutSpecs();
// Every item's command with its label, in the order of the menus (for LVSetMenuWords).
std::vector<std::pair<std::string, std::string>> LVMenuCommandLabels();
// Menu ids whose command is not built in this program yet.
std::vector<int> LVUnavailableMenuIds();

// Turns a menu or accelerator id into its command.
void LVMenuCommand(int id);
