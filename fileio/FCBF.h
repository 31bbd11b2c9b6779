// CBF output (the reader and its information routine are declared with the other readers in
// fileio/FReaders.h).
#pragma once

#include <string>

#include "data/DataSet.h"

// Writes the region of interest as a CBF file: the geometry categories of an imgCIF image and
// the pixels as signed 32-bit integers (values beyond that range clamped, with one warning).
// The file is replaced only after a complete write.
int FOutputCBF(const std::string& fileName, const DataSet& dataSet, int& status);
