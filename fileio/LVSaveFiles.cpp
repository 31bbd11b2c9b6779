#include "fileio/LVSaveFiles.h"

#include "app/LVCommand.h"
#include "core/status.h"
#include "core/text.h"
#include "fileio/FInput.h"
#include "fileio/FScanFiles.h"
#include "ui/LVFileSelect.h"

namespace {

struct SaveCommand {
  IRoutine routine;
  const char* extension;
  int (*select)(int, std::string&, int&);
  int format;
  const char* noArgument;
};

int Save(const SaveCommand& command, const std::string& argument, DataSet& d, int& status) {
  if (IBad(command.routine, status)) return kFalse;
  std::string fileName;
  const bool asked = argument == "?";
  if (asked) {
    std::string proposed = d.fileName;
    IChangeFileExtension(command.extension, proposed, status);
    if (!command.select(256, proposed, status)) return kFalse;
    fileName = proposed;
  } else if (argument.empty()) {
    IError(command.noArgument, status);
    return kFalse;
  } else {
    fileName = argument;
  }

  if (FOutputData(fileName, command.format, d, status)) {
    IInfo("Data saved to file:", status);
    IWrite(fileName, status);
    return kTrue;
  }
  // A name the user picked deserves a box when it fails; a named file (a script, a file
  // series) only a note.
  if (asked) {
    IWarning("Failed to save data to file:", status);
  } else {
    INote("Failed to save data to file:", status);
  }
  IWrite(fileName, status);
  return kFalse;
}

}  // namespace

int LVSaveChiplot(const std::string& argument, DataSet& d, int& status) {
  static const SaveCommand kCommand{{"LVSaveChiplot", "V0.4"},
                                    "chi",
                                    LVSelectOutChiplot,
                                    kFormatChiplot,
                                    "LVSaveChiplot; Save_Chiplot command, but no defined argument"};
  return Save(kCommand, argument, d, status);
}

int LVSaveFile(const std::string& argument, DataSet& d, int& status) {
  static const SaveCommand kCommand{{"LVSaveFile", "V0.4"},
                                    "bsl",
                                    LVSelectOutFile,
                                    kFormatBSL,
                                    "LVSaveFile; Save_File command, but no defined argument"};
  return Save(kCommand, argument, d, status);
}

void LVRegisterSaveCommands() {
  LVRegisterCommand({.name = "Save_Chiplot", .work = [](LVCommandCall& call) {
                       return LVSaveChiplot(call.event.text, call.main, call.status);
                     }});
  LVRegisterCommand({.name = "Save_File", .work = [](LVCommandCall& call) {
                       return LVSaveFile(call.event.text, call.main, call.status);
                     }});
}
