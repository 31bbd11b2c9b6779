// CBF output (the reader and its information routine are declared with the other readers in
// fileio/FReaders.h).
#pragma once

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
