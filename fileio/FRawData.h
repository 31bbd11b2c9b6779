// The raw-array readers every binary reader shares, the element types and byte orders they
// read, and the checks every reader makes on the sizes and offsets its header gives. This file
// sits below the readers: it knows no format.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "data/DataSet.h"

// How pixels are stored. 101, 106, 107 and 109 are types a BSL header may declare that no
// reader accepts.
enum ElementType : int {
  kElementUI1 = 100,
  kElementBSL1 = 101,
  kElementUI2 = 102,
  kElementI2 = 103,
  kElementUI4 = 104,
  kElementI4 = 105,
  kElementBSL8 = 106,
  kElementBSL7 = 107,
  kElementR4 = 108,
  kElementBSL9 = 109,
};

enum ByteOrder : int {
  kByteOrderHighFirst = 333,  // big-endian
  kByteOrderLowFirst = 334,   // little-endian: this machine's order
};

enum SwapMode : int {
  kSwapNone = 55,
  kSwapPairs = 56,  // exchange the two bytes of every 2-byte unit
  kSwapWords = 57,  // reverse the four bytes of every 4-byte unit
};

// Bytes per element of a type, 0 for the types no reader accepts.
int FElementSize(int elementType);

// ---- Block read and raw readers ------------------------------------------------------------
// Reads `count` bytes into `buffer` (of `bufferSize` bytes) and swaps them in place.
// How many reads so far found a file shorter than its header promised (the image then holds
// zeros for what is missing): a command compares it before and after reading a file.
std::uint64_t FShortReads();

int FRead(std::FILE* file, std::size_t bufferSize, std::size_t count, int swapMode,
          std::size_t& bytesRead, unsigned char* buffer, int& status);

// Read columns x rows elements starting at byte `offset` into consecutive reals. Elements a
// short file does not supply are 0.
int FInput2DR4(std::FILE* file, int swap, std::int64_t offset, int columns, int rows,
               float* destination, int& status);
int FInput2DUI4(std::FILE* file, int swap, std::int64_t offset, int columns, int rows,
                float* destination, int& status);
int FInput2DI4(std::FILE* file, int swap, std::int64_t offset, int columns, int rows,
               float* destination, int& status);
int FInput2DUI2(std::FILE* file, int swap, std::int64_t offset, int columns, int rows,
                float* destination, int& status);
int FInput2DI2(std::FILE* file, int swap, std::int64_t offset, int columns, int rows,
               float* destination, int& status);
int FInput2DUI1(std::FILE* file, int swap, std::int64_t offset, int columns, int rows,
                float* destination, int& status);

// Writes the region of interest as native 32-bit reals, row by row.
int FOutput2DR4(std::FILE* file, const DataSet& dataSet, int& status);

// ---- Opening the files a reader reads -----------------------------------------------------
// Opens a file for reading only when it is a regular file: a device such as /dev/zero never
// ends, a pipe blocks until someone writes to it, and neither has a length to check a header
// against. Null when the file cannot be opened; `notRegular` tells that the name exists but is
// no regular file (nothing is written: the caller says so in its own words).
std::FILE* FOpenRegularFile(const std::string& fileName, const char* mode, bool& notRegular);
// The readers' open: FOpenRegularFile, warning "<routine>: Not a regular file (a device, pipe
// or folder): <name>" for a name that is no regular file and setting `refused` (the status
// stays good); any other failure leaves `refused` clear for the caller's own status.
std::FILE* FOpenInputFile(const char* routine, const std::string& fileName, const char* mode,
                          bool& refused, int& status);

// ---- Checks every reader makes on sizes and offsets from a header ------------------------
// The length of an open file in bytes (-1 when it cannot be told).
std::int64_t FFileLength(std::FILE* file);
// Whether two stat results are of one file unchanged in between: device, inode, size and time
// of change (to the nanosecond) the same. Readers keep what they read of a file on that basis.
bool FSameFile(const struct stat& a, const struct stat& b);
// True when columns and rows are positive, their product is at most 2^32 pixels, and
// offset + columns x rows x elementSize lies inside a file of `fileLength` bytes (pass -1 to
// skip the length check). On failure it warns "<routine>: <what>" and returns false.
int FCheckImageSize(const char* routine, int columns, int rows, int elementSize,
                    std::int64_t offset, std::int64_t fileLength, int& status);

// The title rule of the readers: the file name without its directory, at most 256 characters.
void FSetTitleFromFile(const std::string& fileName, DataSet& dataSet, bool onlyIfEmpty);
