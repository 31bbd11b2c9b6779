// Format detection and the image input framework.
//
// A file name becomes a filled DataSet in three steps: FDeduceFileFormat runs the ten
// detection tests, FGetDatasetInfo asks the format's information routine how many columns,
// rows and images a data-set holds, and FInputImage dispatches to the format's reader
// (fileio/FReaders.h) and normalises the result.
#pragma once

#include <string>

#include "data/DataSet.h"
#include "fileio/FReaders.h"

struct FileInfo {
  int format = kFormatNone;
  int numDatasets = -1;
};

// ---- Detection -----------------------------------------------------------------------------
// Tests on the first bytes of the file (up to 1024) or, for the text formats, on the file.
int FIsADSC(const unsigned char* buffer, int length);
int FIsBruker(const unsigned char* buffer, int length);
int FIsBSL(const std::string& fileName);
int FIsCBF(const unsigned char* buffer, int length);
int FIsChiplot(const std::string& fileName);
int FIsKlora(const unsigned char* buffer, int length);
int FIsPrinceton(const unsigned char* buffer, int length);
// FIsMar, the Mar header acceptance, is the Mar reader's own (fileio/FReaders.h).
int FIsTIFF(const unsigned char* buffer, int length);
int FIsVolume(const std::string& fileName);

int FDeduceFileFormat(const std::string& fileName, int& format, int& status);
int FGetFileInfo(const std::string& fileName, FileInfo& info, int& status);
int FGetDatasetInfo(const std::string& fileName, int format, int dataset, DatasetInfo& info,
                    int& status);
int FInputImage(const std::string& fileName, int format, int dataset, int image, int prompt,
                DataSet& dataSet, int& status);
