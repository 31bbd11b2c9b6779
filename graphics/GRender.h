// Scan-line renderers: the visible part of a data set into a 24-bit bottom-up bitmap through
// the false-colour table. Each is one pass over the output pixels with table look-ups; the
// logarithmic ones use a 1024-entry threshold table and a binary search instead of
// logarithms.
#pragma once

#include <cstdint>

#include "data/DataSet.h"

// Arguments shared by every renderer: the range, the data pixel shown at the bitmap's
// bottom-left, the data set, and the bitmap (width x height pixels, `stride` pixels a row,
// rows bottom-up, blue-green-red bytes).
#define G_RENDER_ARGS                                                                        \
  float minimum, float maximum, int startX, int startY, const DataSet &d, int width,         \
      int height, int stride, std::uint8_t *bits, int &status

int GLinearScaledImage(G_RENDER_ARGS);       // magnification 1
int GLinearMagScaledImage(G_RENDER_ARGS);    // magnification > 1
int GLinearRebinScaledImage(G_RENDER_ARGS);  // reduced display
int GLogScaledImage(G_RENDER_ARGS);
int GLogMagScaledImage(G_RENDER_ARGS);
int GLogRebinScaledImage(G_RENDER_ARGS);
// Fit-to-size: bitmap pixel (i, j) shows data pixel (startX + i / scale, startY + j / scale).
int GLinearResampledImage(G_RENDER_ARGS);
int GLogResampledImage(G_RENDER_ARGS);

// Colour index 0..1023 of a value, as the renderers compute it.
int GLinearIndex(float value, float minimum, float maximum, bool reduced);
int GLogIndex(float value, float minimum, float maximum);
