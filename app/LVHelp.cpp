#include "app/LVHelp.h"

#include "app/LVPlotData.h"
#include "app/LVQuickStartText.h"
#include "platform/Platform.h"

std::string LVQuickStartText() { return kLVQuickStartText; }

std::string LVAboutText() {
  return std::string("LV / Lumivane\nLumivane: Free form data analysis\n") + kProductTitle;
}

void LVShowQuickStart() { PCurrentBackend().ShowTextWindow("Quick Start", LVQuickStartText()); }

void LVShowAbout() {
  PCurrentBackend().MessageBox(LVAboutText(), "LV / Lumivane information", PIcon::kInformation,
                               PButtons::kOk, PResult::kOk, true);
}
