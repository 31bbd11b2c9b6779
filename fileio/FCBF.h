// CBF output (the reader and its information routine are declared with the other readers in
// fileio/FReaders.h).
#pragma once

#include <cstddef>
#include <string>

#include "data/DataSet.h"

// Writes the region of interest as a CBF file: the geometry categories of an imgCIF image and
// the pixels as signed 32-bit integers (values beyond that range clamped, with one warning).
// The file is replaced only after a complete write.
int FOutputCBF(const std::string& fileName, const DataSet& dataSet, int& status);

// The geometry a detector's mini-header gives ("# Pixel_size 172e-6 m x 172e-6 m",
// "# Wavelength 0.96859 A", "# Detector_distance 0.351 m", "# Beam_xy (1261.6, 1307.0)
// pixels"): each plausible value is put into `dataSet` and marked in its headerGeometry.
void FPilatusHeaderGeometry(const std::string& text, DataSet& dataSet);

// A large byte-offset section of signed 32-bit integers is decoded by the library in parts, one
// per core (at most 4), each part at least this many elements (512 Ki by default: a frame of 1M
// pixels and more is split). For tests and fuzzing: a small `minimumPart` splits small frames;
// `parts` > 0 fixes the number of parts whatever the cores (0: by the cores again).
void FCBFSetSplit(std::size_t minimumPart, unsigned parts);
// The number of parts the last CBF image read on this thread was decoded in (1: one call of the
// library for the whole section, also when a split read fell back to it).
unsigned FCBFLastParts();
