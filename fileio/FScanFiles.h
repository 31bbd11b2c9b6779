// The simple text and bit-packed formats: Chiplot scans (read and written), lists of reals,
// the BSL pair of a header and a raw real file (written; FBSL reads it), mask files, and the
// output dispatcher.
//
// Chiplot: four header lines (title, X label, intensity label, "N M" or "N errors"), then one
// line per point: the abscissa and M values. Data column m becomes image row m.
//
// Mask file: 256 little-endian 32-bit words of header (77, 65, 83, 75, width, height, 1,
// reserved), then per row ceiling(width / 32) words whose bit b of word w is the pixel in
// column 32 w + b. It holds the whole defined image.
//
// Every writer replaces its file only after a complete write (IOutputFile): a failed save
// leaves the old file, or none, never a truncated one.
#pragma once

#include <cstdio>
#include <string>

#include "data/DataSet.h"

// Reads the four header lines of an open Chiplot file: points N, columns M (1 when the
// fourth line holds one number) and element type 108.
int FChiImageInfo(std::FILE* file, int& points, int& columns, int& elementType, std::string& title,
                  std::string& xLabel, std::string& zLabel, int& status);
// Writes the region of interest; a one-row region with variances in the "N errors" form.
int FOutputChiplot(const std::string& fileName, const DataSet& dataSet, int& status);

// One real per line (text after the number is ignored), '!' and '#' lines are comments; at
// most `capacity` values.
int FInput1DASCII(const std::string& fileName, int capacity, int& count, float* values,
                  int& status);

// The binary file of a BSL header: the character before the last '.' of the file name
// becomes '1' (scan.bsl gives sca1.bsl), a name without '.' gets "1" appended. False when
// the name starts with its '.'.
int FBSLMemoryFileName(const std::string& headerName, std::string& binaryName, int& status);
int FOutputBSL(const std::string& headerName, const DataSet& dataSet, int& status);

int FInputMask(const std::string& fileName, DataSet& dataSet, int& status);
int FOutputMask(const std::string& fileName, const DataSet& dataSet, int& status);

// 431 BSL, 432 CBF, 438 Chiplot; any other code gives the unsupported-format warning.
int FOutputData(const std::string& fileName, int format, const DataSet& dataSet, int& status);
