// Mirroring a data set's region of interest in place.
//
// Data, and the mask and variances where they are defined, are mirrored together so that
// they keep describing the same pixels. Rows are swapped pairwise from the outside in; an odd
// middle row (column) stays where it is.
#pragma once

#include "data/DataSet.h"

// Top to bottom: ROI row startY + i changes places with row endY - i.
int MDataFlipTB(DataSet& dataSet, int& status);
// Left to right: ROI column startX + i changes places with column endX - i.
int MDataFlipLR(DataSet& dataSet, int& status);
