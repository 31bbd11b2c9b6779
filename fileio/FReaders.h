// The readers, one per format (each in its own file: FADSC, FBruker, FKlora, FVolume, FMar,
// FPrinceton, FTIFF, FBSL, FCBF, FChiplot, FHDF5). Each has an information routine that tells
// FGetDatasetInfo how many columns, rows and images a data-set holds, and an input routine
// that opens the file, checks its header and fills the DataSet.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "data/DataSet.h"
#include "fileio/FRawData.h"

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
  kFormatHDF5 = 440,  // HDF5 / NeXus: the eleventh test, after the ten above
};

struct DatasetInfo {
  int columns = -1;
  int rows = -1;
  int images = 1;
  int elementType = -1;
};

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

// HDF5 / NeXus (fileio/FHDF5): the library opens the file by name. The image data-set is
// "/entry/data/data", else a master file's "/entry/data/data_NNNNNN" links in name order, else
// the `dataset`-th image stack (from 1) of FHDF5ImageStacks; images are its frames. A virtual
// data-set whose source files are not there is refused, naming the first missing one.
int FHDF5DatasetInfo(const std::string& fileName, int dataset, DatasetInfo& info, int& status);

// One image stack of an HDF5 file: a 2-D or 3-D integer or real data-set, no instrument table.
struct FImageStack {
  std::string path;
  std::int64_t frames = 0;
  std::int64_t columns = 0, rows = 0;
  std::string missing;  // a virtual stack's first source file that is not there
};
// The image stacks an HDF5 file offers, in the order the data-set numbers count them: the NeXus
// frames alone ("/entry/data/data", or "/entry/data" for a master's links), else every 2-D or
// 3-D number data-set that is no instrument table, the NXdata signal of a group before its other
// members, each object once. False (the list empty) when the file cannot be read; the reading
// then says why.
int FHDF5ImageStacks(const std::string& fileName, std::vector<FImageStack>& stacks, int& status);

// Number of data-sets in a BSL header file (writes one line per data-set).
int FBSLNumDatasets(const std::string& fileName, int& count, int& status);

// The Mar header acceptance, one of the ten detection tests.
int FIsMar(const unsigned char* buffer, int length);

// Input routines: open the file, read the header, allocate and fill the DataSet.
int FInputADSC(const std::string& fileName, DataSet& dataSet, int& status);
int FInputBruker(const std::string& fileName, DataSet& dataSet, int& status);
int FInputKlora(const std::string& fileName, DataSet& dataSet, int& status);
int FInputVolume(const std::string& fileName, int image, DataSet& dataSet, int& status);
int FInputMar(const std::string& fileName, DataSet& dataSet, int& status);
int FInputPrinceton(const std::string& fileName, int image, DataSet& dataSet, int& status);
int FInputTIFF(const std::string& fileName, DataSet& dataSet, int& status);
// Image (page) `image` of a TIFF file, from 1: the uncompressed reader above takes the first
// page of what it reads; compressed strips, tiles and later pages go through libtiff.
int FInputTIFFImage(const std::string& fileName, int image, DataSet& dataSet, int& status);
// Frame `image` (from 1) of image stack `dataset` (from 1) of an HDF5 file; overflow values (the largest integer of the stored
// type) and the detector's pixel mask become the mask; the NeXus instrument group gives
// pixel sizes, distance, wavelength and beam centre where it holds them.
int FInputHDF5(const std::string& fileName, int dataset, int image, DataSet& dataSet,
               int& status);
int FInputBSL(const std::string& fileName, int dataset, int image, DataSet& dataSet,
              int& status);
int FInputCBF(const std::string& fileName, DataSet& dataSet, int& status);
int FInputChiplot(const std::string& fileName, DataSet& dataSet, int& status);
