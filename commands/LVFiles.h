// The file commands: opening an image ("Open_File", with its data-set and image choice) and
// saving the main data-set ("Save_Chiplot" as a Chiplot file, "Save_File" as a BSL pair,
// "Save_CBF" as a CBF image, "Save_JPEG" as a picture of the display, commands/LVJPEG). The
// argument "?" asks with the file dialog (the save dialog proposes the data-set's file name
// with the format's extension); an empty argument is an error.
#pragma once

#include <string>
#include <vector>

#include "data/DataSet.h"

// prompt: the user picked the file in the dialog, so data-set and image are asked for (kTrue),
// or only the image stack of an HDF5 file of several is (kPromptStack).
constexpr int kPromptStack = 2;
int FInputData(const std::string& fileName, int prompt, DataSet& dataSet, int& status);
// The event value of an "Open_File NAME" from the command line or a second start: a window asks
// which image stack of an HDF5 file of several to open ("FILE::/PATH" names one: no question).
constexpr int kOpenAskStack = 1;
int LVOpenFile(const std::string& argument, DataSet& dataSet, int& status,
               bool askStack = false);
// One of `choices` from a pop-up menu titled `title` (a script answers it "store N", N from
// 0); `choice` the one taken, and the one marked when it opens. False when none was taken.
int LVChooseFromList(const std::string& title, const std::vector<std::string>& choices,
                     int& choice);
// The end of every opening of a file: the display shows it whole, or the failure is said; the
// menus follow what the store holds. Returns `result`.
int LVAfterFileInput(int result, const std::string& fileName, DataSet& dataSet, int& status);
// The warning after a file could not be read. A file of no known format was refused in one
// plain warning already (FRefuseUnknownFormat): the line then goes to the log alone, so the user
// sees one box, not one per routine that gave up.
void LVInputFailed(const std::string& fileName, const std::string& line, int& status);
// "Open_Frame FRAME FILE" (scripts): image FRAME (from 1) of a file of several images (HDF5
// frames, TIFF pages, ...) without questions; a number beyond the file's images is refused
// before anything is read.
int LVOpenFrame(const std::string& arguments, DataSet& dataSet, int& status);

int LVSaveChiplot(const std::string& argument, DataSet& dataSet, int& status);
int LVSaveFile(const std::string& argument, DataSet& dataSet, int& status);
int LVSaveCBF(const std::string& argument, DataSet& dataSet, int& status);

void LVRegisterFileCommands();
void LVRegisterSaveCommands();
