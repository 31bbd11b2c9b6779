#include "commands/LVOverlay.h"

#include <cmath>

#include "core/database.h"
#include "core/status.h"
#include "graphics/GGraphics.h"
#include "graphics/GOverlay.h"
#include "platform/Platform.h"
#include "ui/WDraw.h"

PCanvas* LVOverlayCanvas() {
  PBackend& backend = PCurrentBackend();
  return backend.HasMainWindow() ? backend.Canvas() : nullptr;
}

void LVOverlayPresent() {
  PBackend& backend = PCurrentBackend();
  if (backend.HasMainWindow()) backend.Present();
}

void LVOverlayEllipse(const DataSet& d, float cx, float cy, float r1, float r2, float angle,
                      int& status) {
  if (PCanvas* canvas = LVOverlayCanvas()) {
    LVDrawInvertedEllipse(canvas, d, {cx, cy, r1, r2, angle}, status);
    LVOverlayPresent();
  }
}

void LVOverlayMarkers(const DataSet& d, int points, const float x[], const float y[],
                      int& status) {
  PCanvas* canvas = LVOverlayCanvas();
  if (!canvas) return;
  for (int i = 0; i < points; ++i) {
    WDrawMarker(canvas, GDataToWindowX(x[i] / d.pixelSizeX, d),
                GDataToWindowY(y[i] / d.pixelSizeY, d), status);
  }
  LVOverlayPresent();
}

bool LVBeamCentreAcceptable(const char* routine, double x, double y, int& status) {
  if (std::fabs(x) <= kBeamCentreLimit && std::fabs(y) <= kBeamCentreLimit) return true;
  IWarning(IFormat("%s: The beam centre (%g, %g) must be finite and within 10^6 pixels; nothing "
                   "changed",
                   routine, x, y),
           status);
  return false;
}

int LVSetBeamCentre(DataSet& d, float x, float y, int& status) {
  if (!LVBeamCentreAcceptable("LVSetBeamCentre", x, y, status)) return kFalse;
  d.beamCentreX = x;
  d.beamCentreY = y;
  ISetDBRealItem("Beam_CentreX", x, status);
  ISetDBRealItem("Beam_CentreY", y, status);
  IInfo(IFormat("Beam centre set to (%f, %f)", static_cast<double>(x), static_cast<double>(y)),
        status);
  return kTrue;
}
