// Format detection and the image input framework.
//
// A file name becomes a filled DataSet in three steps: FDeduceFileFormat runs the eleven
// detection tests (the ten of the classic formats, then HDF5), FGetDatasetInfo asks the format's information routine how many columns,
// rows and images a data-set holds, and FInputImage dispatches to the format's reader
// (fileio/FReaders.h) and normalises the result.
#pragma once

#include <functional>
#include <string>
#include <vector>

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
// The HDF5 signature at byte 0 or after a user block (512, 1024, 2048 bytes).
int FIsHDF5(const unsigned char* buffer, int length);

int FDeduceFileFormat(const std::string& fileName, int& format, int& status);
// How many detection tests fit the file, silently: 0 for a file of no known format (an empty
// file included), -1 when it cannot be read as a regular file.
int FCountFittingFormats(const std::string& fileName);
// A file that no format fits is refused in one plain warning that names the file and what the
// program reads; the detection's lines go to the log alone. True when the file was refused so.
int FRefuseUnknownFormat(const std::string& fileName, int& status);
int FGetFileInfo(const std::string& fileName, FileInfo& info, int& status);
int FGetDatasetInfo(const std::string& fileName, int format, int dataset, DatasetInfo& info,
                    int& status);
int FInputImage(const std::string& fileName, int format, int dataset, int image, int prompt,
                DataSet& dataSet, int& status);

// "FILE::/group/data-set" names one image stack of an HDF5 file (the form other diffraction
// programs take too), for a file opened by name: the command line, scripts, series. A name that
// is itself a file is never split.
struct FStackName {
  std::string file;   // the file's own name
  std::string stack;  // the data-set path, from '/'; empty when none is named
};
FStackName FSplitStackName(const std::string& name);
// The data-set number (from 1) of the stack `stack` names in the HDF5 file `file` (1 when none
// is named), with the file's stacks; false, after a warning naming the stacks the file offers,
// when the file is no HDF5 file or holds no such stack.
int FFindNamedStack(const std::string& file, int format, const std::string& stack, int& dataset,
                    std::vector<FImageStack>& stacks, int& status);
// The pop-up line of one stack: its path, frame count and frame size.
std::string FStackLabel(const FImageStack& stack);

// What the whole input of a file asks of its caller: the data-set and image numbers (no
// hook: the first of each, no question) and a busy state around the read itself. An HDF5 file
// of several image stacks offers them by path and frame count (`choose`), and the information
// window says which data-set path was opened.
struct FInputHooks {
  // Asks an integer from 1 to `upper`; false when the user cancelled.
  std::function<int(const std::string& prompt, int upper, int& value, int& status)> ask;
  // Asks for one of `choices` (a list to pick from); `choice` the index taken, from 0; false
  // when the user cancelled. Without it the data-set is asked as a number (`ask`).
  std::function<int(const std::string& title, const std::vector<std::string>& choices,
                    int& choice, int& status)>
      choose;
  std::function<void(bool busy)> busy;
};
// Detection, the data-set and image choice and the read of one file into d, with the
// information lines and warnings of the interactive open. Nothing here touches a window, so a
// reader working ahead on another thread runs it (without hooks) on a scratch data-set.
int FInputDataWith(const std::string& fileName, const FInputHooks& hooks, DataSet& d,
                   int& status);
// Moves an image read into `read` (by FInputImage or FInputDataWith) into `d` exactly as
// FInputImage does with its own scratch data-set: d takes read's data, size, region and
// description, and loses its mask unless the reader gave one (the HDF5 reader's overflow and
// detector mask), which it then takes.
void FAdoptImage(DataSet& read, DataSet& d);

