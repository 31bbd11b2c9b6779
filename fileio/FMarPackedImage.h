// The CCP4 packed-image decoder used by MarResearch files.
//
// A packed image is a text line "CCP4 packed image, X: %04d, Y: %04d" followed by a bit
// stream read least significant bit first. The stream is a run of blocks: a 6-bit header
// (low 3 bits: 2^e pixels, high 3 bits: index into the widths {0, 4, 5, 6, 7, 8, 16, 32})
// and then that many two's-complement differences of that width. Each difference is added to
// a prediction from the pixels decoded before it:
//   first pixel            0
//   rest of the first row  the pixel to its left (the first pixel of row 1 included)
//   every later pixel      (left + upper-right + upper + upper-left + 2) / 4
// where the neighbours are taken in row-major order (so at the row ends they wrap), as signed
// 16-bit numbers, the division truncates toward zero and the result is kept to 16 bits. The
// stored pixels are those 16-bit patterns read as unsigned numbers.
#pragma once

#include <cstdint>
#include <cstdio>

#include "data/DataSet.h"

// Decodes the packed image that starts at byte `offset` of the file into the DataSet's data
// rows (file row r into data row r), keeping only two rows of 16-bit values beside it.
// `columns` and `rows` are the size the file's header gives: a stream of another size, or
// one without its marker line, is refused with a warning. A stream that ends early leaves the
// pixels it did not reach 0 and warns. Sets the defined size and the region of interest.
int FMarPackedImage(std::FILE* file, std::int64_t offset, int columns, int rows,
                    DataSet& dataSet, int& status);
