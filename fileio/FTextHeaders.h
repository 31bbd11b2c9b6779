// Readers of the detector formats whose header is readable text: ADSC, Bruker (with its
// overflow table), Klora ("{ key = value ; }" headers) and volume slices (a text information
// file beside a raw file of 32-bit reals).
//
// Each format has an information routine that parses the header into a TextHeaderInfo, a
// pixel routine that converts the pixels with the raw readers of FInput.h, and the input
// routine declared in FInput.h (FInputADSC, FInputBruker, FInputKlora, FInputVolume) that opens
// the file, checks the header's sizes against the file, allocates the DataSet and fills it and
// its title.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "data/DataSet.h"

// What a text header says about its pixels. Columns, rows, element type and byte order start
// at -1 (unknown).
struct TextHeaderInfo {
  int columns = -1;
  int rows = -1;
  int elementType = -1;
  int byteOrder = -1;
  std::int64_t offset = -1;  // byte of the first pixel in the file
  int bytesPerPixel = -1;    // Bruker "NPIXELB"
  int numOverflow = 0;       // Bruker "NOVERFL": records in the overflow table
  int slices = -1;           // volume "NUM_Z"
  std::string title;         // Klora "TITLE"; empty when the header has none
  // ADSC geometry keys as written ("PIXEL_SIZE" and "DISTANCE" in mm, "WAVELENGTH" in
  // Angstroms); 0 when absent or not a number.
  double pixelSizeMm = 0.0, distanceMm = 0.0, wavelength = 0.0;
};

// An open file, closed on every path out of the routine that opened it.
struct FOwnedFileCloser {
  void operator()(std::FILE* file) const noexcept {
    if (file) std::fclose(file);
  }
};
using FOwnedFile = std::unique_ptr<std::FILE, FOwnedFileCloser>;

// ---- Shared checks -------------------------------------------------------------------------
// Whether a header's pixel block can be read from the file (FCheckImageSize with the file's
// length): a block cut short at the end is read with zeros for what is missing, a header that
// claims far more than the file holds is refused before anything is allocated. Warnings name
// `routine`.
int FCheckPixelBlock(const char* routine, const TextHeaderInfo& header, int elementSize,
                     std::FILE* file, int& status);

// Reads one header line of at most 255 characters without its line end. The rest of a longer
// line comes back as the next line, as headers padded with blanks before their closing '}'
// need. False at the end of the file.
int FReadHeaderLine(std::FILE* file, std::string& line);

// Converts the pixel block (at header.offset, header.columns x header.rows elements of
// header.elementType: 100, 102, 103, 104, 105 or 108) with the raw reader of its type into the
// DataSet, which must already hold exactly that many columns and rows.
int FInputPixelBlock(std::FILE* file, const TextHeaderInfo& header, int swap, DataSet& dataSet,
                     int& status);

// The steps every text-header format shares. Reading a file: opened (a device or pipe
// refused); the header found by `start` when given (failing: "<routine>: Problem finding start
// of header: <file>") and read by `readHeader` (failing: "<routine>: Problem inputting header
// information: <file>"); the pixel block checked against the file; the data set allocated and
// filled by `readImage` (failing: "<imageRoutine> was not successful"). The header is left in
// `header` for the title. The information routine: the header's size and type.
using FTextHeaderStart = int (*)(std::FILE*, int&);
using FTextHeaderReader = int (*)(std::FILE*, TextHeaderInfo&, int&);
using FTextImageReader = int (*)(std::FILE*, const TextHeaderInfo&, DataSet&, int&);
int FInputTextHeaderFile(const IRoutine& routine, const std::string& fileName,
                         FTextHeaderStart start, FTextHeaderReader readHeader,
                         FTextImageReader readImage, const char* imageRoutine,
                         TextHeaderInfo& header, DataSet& dataSet, int& status);
int FTextHeaderDatasetInfo(std::FILE* file, FTextHeaderStart start, FTextHeaderReader readHeader,
                           DatasetInfo& info, int& status);

// ---- ADSC ----------------------------------------------------------------------------------
// Key/value lines up to the one whose first non-blank character is '}'. Without
// "HEADER_BYTES" the pixels start at byte 512; without "BYTE_ORDER" they are high byte first.
int FADSCImageInfo(std::FILE* file, TextHeaderInfo& header, int& status);
int FADSCInputImage(std::FILE* file, const TextHeaderInfo& header, DataSet& dataSet, int& status);

// ---- Bruker --------------------------------------------------------------------------------
// 80-character records "KEYWORD:value" up to the record that starts with control-Z.
int FBrukerImageInfo(std::FILE* file, TextHeaderInfo& header, int& status);
// Pixels (low byte first, never swapped) and then the overflow table that follows them.
int FBrukerInputImage(std::FILE* file, const TextHeaderInfo& header, DataSet& dataSet, int& status);

// ---- Klora ---------------------------------------------------------------------------------
// Splits "key = value ;" into the upper-cased key and the value (without trailing blanks).
// False for a line that holds no such pair; such lines are skipped without a message.
int FKloraKeyValue(const std::string& line, std::string& key, std::string& value, int& status);
// Reads lines up to the one that starts with '{'.
int FKloraHeader(std::FILE* file, int& status);
// Reads the key/value lines after '{' up to the line that starts with '}'; the pixels start
// right after that line.
int FKloraImageInfo(std::FILE* file, TextHeaderInfo& header, int& status);
int FKloraInputImage(std::FILE* file, const TextHeaderInfo& header, DataSet& dataSet, int& status);

// ---- Volume slices -------------------------------------------------------------------------
// Splits "key = value" (no terminator) into the upper-cased key and the value.
int FVolumeKeyValue(const std::string& line, std::string& key, std::string& value, int& status);
// The information file: "NUM_X", "NUM_Y" and "NUM_Z" must all be positive.
int FVolumeInfo(std::FILE* file, TextHeaderInfo& header, int& status);
// The raw file beside an information file: its name up to the first ".info" (vol.raw.info
// names vol.raw). False, with the error "Volume file name is incorrect: %s", when the name
// holds no ".info" after its first character.
int FVolumeRawFileName(const std::string& infoFileName, std::string& rawFileName, int& status);
// Opens the raw file, checks it holds slice `slice` (1 to NUM_Z), allocates the DataSet and
// reads the slice.
int FVolumeInputImage(const std::string& infoFileName, const TextHeaderInfo& header, int slice,
                      DataSet& dataSet, int& status);
