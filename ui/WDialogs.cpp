#include "ui/WDialogs.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "core/status.h"
#include "core/text.h"
#include "platform/Platform.h"
#include "ui/WDraw.h"
#include "ui/WWindow.h"

int WRealDialogWidth(int n) {
  if (n <= 34) return 150;
  if (n < 50) return 204;
  if (n < 60) return 250;
  if (n < 70) return 300;
  return 350;
}

int WIntegerDialogWidth(int n) {
  if (n <= 34) return 150;
  if (n < 50) return 204;
  if (n < 60) return 300;
  if (n < 70) return 400;
  return 500;
}

int WStringDialogWidth(int n) {
  if (n < 50) return 204;
  if (n < 60) return 300;
  if (n < 70) return 400;
  return 500;
}

namespace {

// A number outside the range its prompt gives. In the window the user is told what is wrong
// and asked again (the range shown as the prompt has it); a script's answer is left to the
// caller as before (clamped or refused), so that scripts keep their answer order.
// A prompt's range in words: "from 1 to 10", "at least 0", "at most 180".
std::string RangeWords(double lower, double upper) {
  if (upper >= 3.0e38) return IFormat("at least %g", lower);
  if (lower <= -3.0e38) return IFormat("at most %g", upper);
  return IFormat("from %g to %g", lower, upper);
}

bool TellAndAskAgain(double value, bool outside, double lower, double upper) {
  if (!outside || !PCurrentBackend().Interactive()) return false;
  const std::string range = RangeWords(lower, upper);
  int local = kStatusGood;
  IWarning(IFormat("%g is outside the range of this value: enter a number %s", value,
                   range.c_str()),
           local);
  return true;
}

}  // namespace

int WGetReal(const RealPrompt& p) {
  static constexpr IRoutine kR{"WGetReal", "V0.6"};
  if (IBad(kR, p.status)) return kFalse;
  ICheckSystemError("Start WGetReal", p.status);
  PValueRequest request;
  request.kind = PValueKind::kReal;
  request.title = "REAL  VALUE   INPUT";
  request.prompt = p.prompt;
  request.widthUnits = WRealDialogWidth(static_cast<int>(p.prompt.size()));
  if (p.defaultGiven) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%f", static_cast<double>(p.value));
    request.defaultText = buffer;
  }
  // Text that does not read as a number keeps the dialog open, saying what it takes. So do
  // "nan", "inf" and numbers beyond the range of a real (read as infinite): no value of this
  // system is meant to be one, and taken they spread through every sum.
  request.expected = "Enter a number";
  if (p.rangeGiven) request.expected += " " + RangeWords(p.lower, p.upper);
  std::string answer;
  while (PCurrentBackend().ValueDialog(request, answer)) {
    float value = 0.0f;
    int local = kStatusGood;
    if (IToken2Real(answer, value, local) && std::isfinite(value)) {
      if (TellAndAskAgain(value, p.rangeGiven && !(value >= p.lower && value <= p.upper),
                          p.lower, p.upper)) {
        request.defaultText = answer;
        continue;
      }
      p.value = value;
      return kTrue;
    }
    request.defaultText = answer;
    request.refused = true;
  }
  return kFalse;
}

int WGetInteger(const IntegerPrompt& p) {
  static constexpr IRoutine kR{"WGetInteger", "V0.6"};
  if (IBad(kR, p.status)) return kFalse;
  PValueRequest request;
  request.kind = PValueKind::kInteger;
  request.title = "INTEGER VALUE INPUT";
  request.prompt = p.prompt;
  request.widthUnits = WIntegerDialogWidth(static_cast<int>(p.prompt.size()));
  request.rangeGiven = p.rangeGiven != 0;
  request.lower = p.lower;
  request.upper = p.upper;
  if (p.defaultGiven) request.defaultText = std::to_string(p.value);
  // Said under the field when it refuses what was typed (letters, an empty field).
  request.expected = p.rangeGiven && p.lower <= p.upper
                         ? IFormat("Enter a number from %i to %i", p.lower, p.upper)
                         : std::string("Enter a whole number");
  std::string answer;
  while (PCurrentBackend().ValueDialog(request, answer)) {
    int value = 0;
    int local = kStatusGood;
    if (IToken2Integer(answer, value, local)) {
      const bool ranged = p.rangeGiven && p.lower <= p.upper;
      if (TellAndAskAgain(value, ranged && (value < p.lower || value > p.upper), p.lower,
                          p.upper)) {
        request.defaultText = answer;
        continue;
      }
      // The spin control keeps its position within the range.
      if (ranged) value = std::clamp(value, p.lower, p.upper);
      p.value = value;
      return kTrue;
    }
    request.defaultText = answer;
    request.refused = true;
  }
  return kFalse;
}

int WGetString(const StringPrompt& p) {
  static constexpr IRoutine kR{"WGetString", "V0.5"};
  if (IBad(kR, p.status)) return kFalse;
  PValueRequest request;
  request.kind = PValueKind::kString;
  request.title = "TEXT  STRING  INPUT";
  request.prompt = p.prompt;
  request.widthUnits =
      WStringDialogWidth(static_cast<int>(std::max(p.prompt.size(), p.text.size())));
  if (p.defaultGiven) request.defaultText = p.text;
  std::string answer;
  if (!PCurrentBackend().ValueDialog(request, answer)) return kFalse;
  p.text = answer.size() > kLineLength ? answer.substr(0, kLineLength) : answer;
  return kTrue;
}

int WGetBoolean(const BooleanPrompt& p) {
  static constexpr IRoutine kR{"WGetBoolean", "V0.4"};
  if (IBad(kR, p.status)) return kFalse;
  const PResult defaultButton = (p.defaultGiven && !p.value) ? PResult::kNo : PResult::kYes;
  const PResult answer =
      PCurrentBackend().MessageBox(p.prompt, "Input YES or NO (or CANCEL)", PIcon::kQuestion,
                                   PButtons::kYesNoCancel, defaultButton, false);
  if (answer == PResult::kYes) {
    p.value = kTrue;
    return kTrue;
  }
  if (answer == PResult::kNo) {
    p.value = kFalse;
    return kTrue;
  }
  return kFalse;
}

int WCoordinateDialogWidth(int n) {
  return n < 30 ? 120 : n <= 34 ? 135 : n <= 44 ? 150 : n <= 54 ? 204 : n <= 64 ? 244 : n < 70 ? 250 : 300;
}

int WGetCoordinate(const CoordinatePrompt& p) {
  static constexpr IRoutine kR{"WGetCoordinate", "V0.3"};
  if (IBad(kR, p.status)) return kFalse;
  IInfo(p.prompt, p.status);
  PClickDialog dialog;
  dialog.title = "Coordinate Input Control:  ";
  dialog.lines = {p.prompt, "(Enter coordinate by clicking on image.)"};
  dialog.buttons = {{5031, "CANCEL OPERATION", false, "cancel"}};
  dialog.widthUnits = WCoordinateDialogWidth(static_cast<int>(p.prompt.size()));
  PBackend& backend = PCurrentBackend();
  bool cancelled = false;
  const bool ran = backend.ClickInput(dialog, [&](const PClickEvent& event) {
    if (event.kind == PClickKind::kButton) {
      cancelled = event.id == 5031;
      return !cancelled;
    }
    if (event.kind != PClickKind::kPress) return true;
    p.x = event.dataGiven ? WTruncate(event.dataX) : event.x;
    p.y = event.dataGiven ? WTruncate(event.dataY) : event.y;
    if (p.drawMarker) {
      if (PCanvas* canvas = backend.Canvas()) {
        WDrawingAreaClip clip(canvas);
        WDrawMarker(canvas, p.x, p.y, p.status);
        backend.Present();
      }
    }
    return false;  // the press ends the input (its release is swallowed)
  });
  if (!ran) cancelled = true;
  if (cancelled) {
    IInfo("Coordinate input cancelled", p.status);
    return kFalse;
  }
  return kTrue;
}
