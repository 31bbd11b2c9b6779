// Value-input dialogs: a real, an integer, a text or a yes/no answer. Each returns true when
// the user confirmed and false when the user cancelled, and writes the answer through the
// reference in its prompt record. The backend shows the dialog (or, headless, takes the next
// scripted answer).
#pragma once

#include <string>

struct RealPrompt {
  std::string prompt;
  int defaultGiven;
  int rangeGiven;
  float lower, upper;
  float& value;
  int& status;
};

struct IntegerPrompt {
  std::string prompt;
  int defaultGiven;
  int rangeGiven;
  int lower, upper;
  int& value;
  int& status;
};

struct StringPrompt {
  std::string prompt;
  int defaultGiven;
  std::string& text;
  int& status;
};

struct BooleanPrompt {
  std::string prompt;
  int defaultGiven;
  int& value;
  int& status;
};

// One click on the main window, in client pixels.
struct CoordinatePrompt {
  std::string prompt;
  int drawMarker;
  int& x;
  int& y;
  int& status;
};

int WGetReal(const RealPrompt& prompt);
int WGetInteger(const IntegerPrompt& prompt);
int WGetString(const StringPrompt& prompt);
int WGetBoolean(const BooleanPrompt& prompt);
// The position of the press that ends the input; false when cancelled ("Coordinate input
// cancelled"). A command script answers "click X Y" in client pixels here.
int WGetCoordinate(const CoordinatePrompt& prompt);
int WCoordinateDialogWidth(int promptLength);

// Dialog widths in dialog units, from the prompt length.
int WRealDialogWidth(int promptLength);
int WIntegerDialogWidth(int promptLength);
int WStringDialogWidth(int textLength);
