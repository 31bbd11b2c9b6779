// The file-series commands: one operation applied to many image files picked at once, the
// per-file results gathered into one output data-set, one row (or column) per file.
//
//   "FS_Input_1D"         stacks the first row of each file (1-D scans);
//   "FS_Composite"        tiles rebinned images into one composite image;
//   "FS_Movie"            shows the images one after another, half a second each;
//   "FS_Integrate"        integrates each image to a scan (one integration map for all);
//   "FS_Projection"       projects each image onto one line;
//   "FS_Fit_2D_Gaussian"  follows a peak through the series with a 2-D Gaussian fit.
//
// Every file is read by name, without questions, into the main store. A file that cannot be
// read is reported and the series goes on (its row stays zero). The window shows "file i of N"
// with a Cancel button; Cancel ends the series after the file in hand and keeps what is done
// (the output then holds the rows of the files done). Headless, each file is one log line.
//
// Masks: reading a file frees the mask of the data it replaces, so the mask defined before an
// integration or a Gaussian series is put back on every file of its size.
#pragma once

#include <string>
#include <vector>

#include "data/DataSet.h"

int LVFSInput1D(DataSet& main, DataSet& output, int& status);
int LVFSComposite(DataSet& main, DataSet& output, int& status);
int LVFSMovie(DataSet& main, int& status);
int LVFSIntegrate(DataSet& main, DataSet& output, int& status);
int LVFSProjection(DataSet& main, DataSet& output, int& status);
int LVFSDiz2IGaussian(DataSet& main, DataSet& output, int& status);

// The merge step of a series run in chunks: the rows of every input (any readable image or
// scan file, in the order given) stacked into one data-set of the inputs' common width, saved
// as `output` (BSL for ".bsl" and any other extension, Chiplot for ".chi"). Inputs of another
// width are refused: nothing is written.
int LVFSStackRows(const std::vector<std::string>& inputs, const std::string& output,
                  int& status);

// Whether files are read ahead on a worker thread while the previous one is worked on
// (integration and projection series). On by default; tests switch it off to compare.
void LVFSSetReadAhead(bool on);

void LVRegisterSeriesCommands();
