// The pixels a hybrid pixel detector marks in its frames: -1 in the gaps between modules, -2 on
// bad pixels, and counts at or above the count cutoff its mini-header gives (overloaded: the
// counter no longer follows the photons). Masked on opening, so that no scan bin near a gap
// averages the marks in.
#pragma once

#include <cstdint>
#include <string>

#include "data/DataSet.h"

// Whether a header text is a Pilatus mini-header ("# Pixel_size ..." lines with an exposure or a
// count cutoff), as CBF and TIFF frames of those detectors carry.
bool FIsPilatusMiniHeader(const std::string& text);
// The count cutoff of a mini-header ("# Count_cutoff 1097223 counts"); 0 when it gives none.
std::int64_t FPilatusCountCutoff(const std::string& text);
// What was marked in a frame.
struct FDetectorMarkCounts {
  std::int64_t gaps = 0, bad = 0, overloaded = 0;
};
// Sets the data set's mask on the marked pixels of its reals (the cutoff 0: none) and says how
// many were masked; no mask is made when nothing is marked.
FDetectorMarkCounts FMaskDetectorMarks(DataSet& d, std::int64_t cutoff, int& status);
// The information lines of a masking (nothing when nothing was masked).
void FSayDetectorMarks(const FDetectorMarkCounts& counts, std::int64_t cutoff, int& status);
