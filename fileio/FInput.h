// Format detection, the image input framework and the raw readers that every binary reader
// shares.
//
// A file name becomes a filled DataSet in three steps: FDeduceFileFormat runs the ten
// detection tests, FGetDatasetInfo asks the format's information routine how many columns,
// rows and images a data-set holds, and FInputImage dispatches to the format's reader and
// normalises the result. The readers themselves live in one file per format (FADSC, FBruker,
// FKlora, FVolume, FMar, FPrinceton, FTIFF, FBSL, FCBF, FChiplot).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "data/DataSet.h"

enum FileFormat : int {
  kFormatNone = -1,
  kFormatBruker = 430,
  kFormatBSL = 431,
  kFormatCBF = 432,
  kFormatKlora = 433,
  kFormatTIFF = 434,
  kFormatPrinceton = 435,
  kFormatMar = 436,
  kFormatADSC = 437,
  kFormatChiplot = 438,
  kFormatVolume = 439,
};

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

struct FileInfo {
  int format = kFormatNone;
  int numDatasets = -1;
};

struct DatasetInfo {
  int columns = -1;
  int rows = -1;
  int images = 1;
  int elementType = -1;
};

// Bytes per element of a type, 0 for the types no reader accepts.
int FElementSize(int elementType);

// ---- Detection -----------------------------------------------------------------------------
// Tests on the first bytes of the file (up to 1024) or, for the text formats, on the file.
int FIsADSC(const unsigned char* buffer, int length);
int FIsBruker(const unsigned char* buffer, int length);
int FIsBSL(const std::string& fileName);
int FIsCBF(const unsigned char* buffer, int length);
int FIsChiplot(const std::string& fileName);
int FIsKlora(const unsigned char* buffer, int length);
int FIsPrinceton(const unsigned char* buffer, int length);
int FIsMar(const unsigned char* buffer, int length);  // the Mar header acceptance (FMar.cpp)
int FIsTIFF(const unsigned char* buffer, int length);
int FIsVolume(const std::string& fileName);

int FDeduceFileFormat(const std::string& fileName, int& format, int& status);
int FGetFileInfo(const std::string& fileName, FileInfo& info, int& status);
int FGetDatasetInfo(const std::string& fileName, int format, int dataset, DatasetInfo& info,
                    int& status);
int FInputImage(const std::string& fileName, int format, int dataset, int image, int prompt,
                DataSet& dataSet, int& status);

// ---- Block read and raw readers ------------------------------------------------------------
// Reads `count` bytes into `buffer` (of `bufferSize` bytes) and swaps them in place.
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

// ---- Checks every reader makes on sizes and offsets from a header ------------------------
// The length of an open file in bytes (-1 when it cannot be told).
std::int64_t FFileLength(std::FILE* file);
// True when columns and rows are positive, their product fits an allocation, and
// offset + columns x rows x elementSize lies inside a file of `fileLength` bytes (pass -1 to
// skip the length check). On failure it warns "<routine>: <what>" and returns false.
int FCheckImageSize(const char* routine, int columns, int rows, int elementSize,
                    std::int64_t offset, std::int64_t fileLength, int& status);

// ---- The readers, one per format (each in its own file) ----------------------------------
// Information for FGetDatasetInfo from an open file: columns, rows, images and element type
// of data-set `dataset` (1-based).
int FADSCDatasetInfo(std::FILE* file, const std::string& fileName, int dataset,
                     DatasetInfo& info, int& status);
int FBrukerDatasetInfo(std::FILE* file, const std::string& fileName, int dataset,
                       DatasetInfo& info, int& status);
int FKloraDatasetInfo(std::FILE* file, const std::string& fileName, int dataset,
                      DatasetInfo& info, int& status);
int FVolumeDatasetInfo(std::FILE* file, const std::string& fileName, int dataset,
                       DatasetInfo& info, int& status);
int FMarDatasetInfo(std::FILE* file, const std::string& fileName, int dataset,
                    DatasetInfo& info, int& status);
int FPrincetonDatasetInfo(std::FILE* file, const std::string& fileName, int dataset,
                          DatasetInfo& info, int& status);
int FTIFFDatasetInfo(std::FILE* file, const std::string& fileName, int dataset,
                     DatasetInfo& info, int& status);
int FBSLDatasetInfo(std::FILE* file, const std::string& fileName, int dataset,
                    DatasetInfo& info, int& status);
int FCBFDatasetInfo(std::FILE* file, const std::string& fileName, int dataset,
                    DatasetInfo& info, int& status);
int FChiplotDatasetInfo(std::FILE* file, const std::string& fileName, int dataset,
                        DatasetInfo& info, int& status);

// Number of data-sets in a BSL header file (writes one line per data-set).
int FBSLNumDatasets(const std::string& fileName, int& count, int& status);

// Input routines: open the file, read the header, allocate and fill the DataSet.
int FInputADSC(const std::string& fileName, DataSet& dataSet, int& status);
int FInputBruker(const std::string& fileName, DataSet& dataSet, int& status);
int FInputKlora(const std::string& fileName, DataSet& dataSet, int& status);
int FInputVolume(const std::string& fileName, int image, DataSet& dataSet, int& status);
int FInputMar(const std::string& fileName, DataSet& dataSet, int& status);
int FInputPrinceton(const std::string& fileName, int image, DataSet& dataSet, int& status);
int FInputTIFF(const std::string& fileName, DataSet& dataSet, int& status);
int FInputBSL(const std::string& fileName, int dataset, int image, DataSet& dataSet,
              int& status);
int FInputCBF(const std::string& fileName, DataSet& dataSet, int& status);
int FInputChiplot(const std::string& fileName, DataSet& dataSet, int& status);

// The title rule of the readers: the file name without its directory, at most 256 characters.
void FSetTitleFromFile(const std::string& fileName, DataSet& dataSet, bool onlyIfEmpty);
