// Readers of the detector formats whose description is binary or mixed: MarResearch image
// plates (old unpacked and packed layouts), Princeton camera files, uncompressed TIFF and BSL
// data-sets (a text header naming raw binary files).
//
// Each format has an information routine that parses its header into a record of its own, a
// pixel routine, and the input routine declared in FInput.h (FInputMar, FInputPrinceton,
// FInputTIFF, FInputBSL) that opens the file and calls the two. The pixel routine checks every
// size and offset the header gives against the file, and only then allocates the DataSet and
// converts the pixels with the raw readers of FInput.h; a header the file cannot back is
// refused with a warning and the DataSet is left as it was. The packed decoder itself lives in
// FMarPackedImage.h.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "data/DataSet.h"

// An open file, closed on every path out of the routine that opened it.
struct FBinaryFileCloser {
  void operator()(std::FILE* file) const noexcept {
    if (file) std::fclose(file);
  }
};
using FBinaryFile = std::unique_ptr<std::FILE, FBinaryFileCloser>;

// ---- MarResearch ---------------------------------------------------------------------------
enum MarLayout : int {
  kMarLayoutNone = -1,
  kMarLayoutOld = 1,     // unpacked 16-bit pixels after a header of one image line
  kMarLayoutPacked = 2,  // CCP4 packed stream after a 4096-byte header and the overflow table
};

struct MarHeader {
  int layout = kMarLayoutNone;
  int swap = 0;  // true when the header was written high byte first
  int columns = -1;
  int rows = -1;
  int numOverflow = 0;  // 8-byte overflow records (address counted from 1, intensity)
};

// Where the pixels and the overflow table of a layout start.
std::int64_t FMarPixelOffset(const MarHeader& header);
std::int64_t FMarOverflowOffset(const MarHeader& header);

// Reads the marker and the header words from the start of the file. A marker that is none of
// 1200, 1234, 1800, 2000 in either byte order is refused with a warning; a short read sets
// status 1011.
int FMarImageInfo(std::FILE* file, MarHeader& header, int& status);
// Allocates columns x rows, reads the pixels (unpacked or decoded), then the overflow records,
// then turns the image so that the first file row ends at the bottom.
int FMarInputImage(std::FILE* file, const MarHeader& header, DataSet& dataSet, int& status);

// ---- Princeton ------------------------------------------------------------------------------
inline constexpr std::int64_t kPrincetonHeaderBytes = 4100;

struct PrincetonHeader {
  int columns = -1;
  int rows = -1;
  int frames = -1;
  int elementType = -1;  // 102, 103, 104 or 108; -1 for a type code we do not know
};

int FPrincetonImageInfo(std::FILE* file, PrincetonHeader& header, int& status);
// Allocates columns x rows and reads frame `frame` (1-based).
int FPrincetonInputImage(std::FILE* file, const PrincetonHeader& header, int frame,
                         DataSet& dataSet, int& status);

// ---- TIFF -----------------------------------------------------------------------------------
// One directory entry as stored: the value field is kept raw (in the file's byte order) so
// that short arrays held inside it and arrays held elsewhere are both read by their type.
struct TIFFEntry {
  int type = 0;
  std::uint32_t count = 0;
  unsigned char field[4] = {0, 0, 0, 0};
  int present = 0;
};

struct TIFFHeader {
  int byteOrder = -1;  // 333 or 334
  int width = -1;
  int height = -1;
  int bits = -1;
  int compression = -1;
  int rowsPerStrip = -1;   // -1: the whole image is one strip
  int samplesPerPixel = 1;
  int sampleFormat = 1;    // 1 unsigned, 2 signed, 3 IEEE real
  TIFFEntry stripOffsets;
  TIFFEntry stripByteCounts;
  TIFFEntry description;  // ImageDescription: a detector's text header, where it keeps one
  int tiled = 0;                  // tile tags present: libtiff reads the file
  std::int64_t nextDirectory = 0;  // offset of the second page's directory, 0 for none
};

int FTIFFImageInfo(std::FILE* file, TIFFHeader& header, int& status);
// Allocates width x height and reads every strip; file row 0 is data row 0.
int FTIFFInputImage(std::FILE* file, const TIFFHeader& header, DataSet& dataSet, int& status);

// What the uncompressed reader leaves to libtiff (fileio/FTIFFLibrary): tiles, and strips
// compressed by LZW, Deflate, PackBits, LZMA or Zstandard with their byte counts given.
bool FTIFFNeedsLibrary(const TIFFHeader& header);
// Through libtiff: the number of pages (image file directories, at most 65535) and the first
// page's size; the page `image` (from 1) of one sample per pixel, 8, 16, 32 or 64 bits,
// unsigned, signed or IEEE real, in strips or tiles, compressed by any codec libtiff has.
int FTIFFLibraryPages(const std::string& fileName, int& pages, int& columns, int& rows,
                      int& status);
int FTIFFLibraryInput(const std::string& fileName, int image, DataSet& dataSet, int& status);

// ---- BSL ------------------------------------------------------------------------------------
struct BSLHeader {
  int columns = -1;
  int rows = -1;
  int frames = -1;
  int byteOrder = -1;    // 333 or 334
  int elementType = -1;  // 100 to 109
  std::string binaryName;  // as written in the header
  std::string binaryPath;  // the header file's directory followed by the name
  std::string title;       // the header's first line when it is not blank
};

// Parses one numbers line and the file-name line after it. False (with a warning where a line
// is there but wrong) when no further data-set follows.
int FBSLFileHeader(std::FILE* file, BSLHeader& header, int& status);
// Header of data-set `dataset` (1-based) from the start of an open header file.
int FBSLImageInfo(std::FILE* file, const std::string& fileName, int dataset, BSLHeader& header,
                  int& status);
// Opens the binary file, checks frame `frame` (1-based) against it, allocates the DataSet with
// columns x rows and reads the frame.
int FBSLInputImage(const BSLHeader& header, int frame, DataSet& dataSet, int& status);
