#include "commands/LVFiles.h"

#include "commands/LVJPEG.h"
#include "commands/LVMask.h"

#include "core/status.h"
#include "core/text.h"
#include "data/DataStores.h"
#include "data/Experiment.h"
#include "fileio/FInput.h"
#include "fileio/FRawData.h"
#include "fileio/FScanFiles.h"
#include "graphics/GDisplaySize.h"
#include "platform/Platform.h"
#include "ui/LVCommandRegistry.h"
#include "ui/LVFileSelect.h"
#include "ui/LVMenus.h"
#include "ui/WDialogs.h"

namespace {

// The dialog proposes the last name chosen.
std::string gLastInputName = "data.cbf";


}  // namespace

int LVChooseFromList(const std::string& title, const std::vector<std::string>& choices,
                     int& choice) {
  constexpr int kFirstId = 2001;
  PPopupMenu menu;
  menu.title = title;
  for (std::size_t i = 0; i < choices.size(); ++i) {
    PMenuEntry entry;
    entry.id = kFirstId + static_cast<int>(i);
    entry.label = choices[i];
    entry.checked = static_cast<int>(i) == choice;
    menu.entries.push_back(entry);
  }
  const int id = PCurrentBackend().PopupMenu(menu, 100, 100);
  if (id < kFirstId || id >= kFirstId + static_cast<int>(choices.size())) return kFalse;
  choice = id - kFirstId;
  return kTrue;
}

int FInputData(const std::string& fileName, int prompt, DataSet& d, int& status) {
  FInputHooks hooks;
  if (prompt) {
    // A list to pick from (the image stacks of an HDF5 file) is a pop-up menu, as the other
    // choices among named things are; a script answers it "store N" (N from 0).
    hooks.choose = [](const std::string& title, const std::vector<std::string>& choices,
                      int& choice, int&) { return LVChooseFromList(title, choices, choice); };
  }
  if (prompt == kTrue) {
    hooks.ask = [](const std::string& question, int upper, int& value, int& status) {
      return WGetInteger({question, kTrue, kTrue, 1, upper, value, status});
    };
  }
  hooks.busy = [](bool busy) { PCurrentBackend().SetBusyCursor(busy); };
  return FInputDataWith(fileName, hooks, d, status);
}

void LVInputFailed(const std::string& fileName, const std::string& line, int& status) {
  if (FCountFittingFormats(FSplitStackName(fileName).file) == 0) {
    ILogOnlyScope told;
    IWarning(line, status);
    return;
  }
  IWarning(line, status);
}

int LVAfterFileInput(int result, const std::string& fileName, DataSet& d, int& status) {
  if (result) {
    // The geometry belongs to the experiment: the image takes it (or seeds it from its header
    // while nothing was set), whatever the store held before.
    std::vector<std::string> said;
    IExperimentApply(d, said);
    for (const std::string& line : said) IInfo(line, status);
    if (d.maskAllocated && !LVMaskDetectorMarks()) {
      d.mask.reset();
      d.maskAllocated = d.maskDefined = d.maskInUse = kFalse;
    }
    if (d.resultUnsaved) {
      const DataStores& stores = LVStores();
      for (int i = 0; i < kNumStores; ++i) {
        if (&stores.stores[static_cast<std::size_t>(i)] != &d) continue;
        IInfo(IFormat("Store %i (\"%s\") held a result that had not been saved: it is "
                      "replaced by %s",
                      i + 1, d.name.c_str(), d.fileName.c_str()),
              status);
      }
      d.resultUnsaved = kFalse;
    }
    LVAutosetMagnification(d, status);
  } else {
    LVInputFailed(fileName, "Failed to input data from file", status);
  }
  LVSetDataCommands(d, status);
  return result;
}

int LVOpenFile(const std::string& argument, DataSet& d, int& status, bool askStack) {
  static constexpr IRoutine kR{"LVOpenFile", "V0.7"};
  if (IBad(kR, status)) return kFalse;
  std::string fileName;
  int prompt = kFalse;
  if (argument == "?") {
    std::string buffer = gLastInputName;
    if (!LVSelectInFile(256, buffer, status)) return kFalse;
    gLastInputName = buffer;
    fileName = buffer;
    prompt = kTrue;
  } else if (argument.empty()) {
    IError("LVOpenFile; Open_File command, but no defined argument", status);
    LVSetDataCommands(d, status);
    return kFalse;
  } else {
    fileName = argument;
    // Named on the command line of a window: the stack of an HDF5 file of several is asked.
    if (askStack && PCurrentBackend().Interactive()) prompt = kPromptStack;
  }

  IWriteLogFile("Selected file:", status);
  IWriteLogFile(fileName, status);

  const std::uint64_t shortReads = FShortReads();
  const int read = FInputData(fileName, prompt, d, status);
  // An image opened by name (the command line, a second start, a series) is as much the
  // last one used as one picked in the dialog: the next dialog starts beside it.
  const std::string file = FSplitStackName(fileName).file;
  if (read) WRememberFolder(kImagesFolder, file);
  const int result = LVAfterFileInput(read, file, d, status);
  // A file cut short shows with zeros for what is missing and a warning; a script, which
  // nobody watches, must not go on as if the image were whole.
  if (result && FShortReads() != shortReads && !PCurrentBackend().Interactive()) {
    IWarning("The file " + fileName + " is shorter than its header says: the image is incomplete",
             status);
    return kFalse;
  }
  return result;
}

int LVOpenFrame(const std::string& arguments, DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVOpenFrame", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  // "FRAME FILE": the image number, then the file name (the rest of the line).
  constexpr const char* kBlanks = " \t";
  const std::size_t start = arguments.find_first_not_of(kBlanks);
  const std::size_t gap =
      start == std::string::npos ? start : arguments.find_first_of(kBlanks, start);
  const std::size_t name =
      gap == std::string::npos ? gap : arguments.find_first_not_of(kBlanks, gap);
  int frame = 0;
  int local = kStatusGood;
  if (name == std::string::npos ||
      !IToken2Integer(arguments.substr(start, gap - start), frame, local)) {
    IError("LVOpenFrame; Open_Frame wants an image number and a file name", status);
    return kFalse;
  }
  std::string fileName = arguments.substr(name);
  while (!fileName.empty() && (fileName.back() == ' ' || fileName.back() == '\t')) {
    fileName.pop_back();
  }
  IWriteLogFile("Selected file:", status);
  IWriteLogFile(fileName, status);
  // The image number is checked before anything is read, so a wrong one leaves the store.
  const FStackName named = FSplitStackName(fileName);
  FileInfo fileInfo;
  DatasetInfo info;
  int dataset = 1;
  std::vector<FImageStack> stacks;
  if (FRefuseUnknownFormat(named.file, status) || !FGetFileInfo(named.file, fileInfo, status) ||
      !FFindNamedStack(named.file, fileInfo.format, named.stack, dataset, stacks, status) ||
      !FGetDatasetInfo(named.file, fileInfo.format, dataset, info, status)) {
    LVInputFailed(named.file, "Failed to input data from file", status);
    return kFalse;
  }
  if (frame < 1 || frame > info.images) {
    IWarning(IFormat("LVOpenFrame: Image %i does not exist: %s holds %i", frame,
                     fileName.c_str(), info.images),
             status);
    return kFalse;
  }
  FInputHooks hooks;
  hooks.ask = [frame](const std::string& question, int, int& value, int&) {
    value = question == "ENTER NUMBER OF IMAGE WITHIN DATA-SET TO INPUT" ? frame : 1;
    return kTrue;
  };
  hooks.busy = [](bool busy) { PCurrentBackend().SetBusyCursor(busy); };
  const int result = FInputDataWith(fileName, hooks, d, status);
  return LVAfterFileInput(result, named.file, d, status);
}

void LVRegisterFileCommands() {
  LVRegisterCommand({.name = "Open_File", .work = [](LVCommandCall& call) {
                       return LVOpenFile(call.event.text, call.main, call.status,
                                         call.event.value == kOpenAskStack);
                     }});
  LVRegisterCommand({.name = "Open_Frame", .work = [](LVCommandCall& call) {
                       return LVOpenFrame(call.event.text, call.main, call.status);
                     }});
}

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
    d.resultUnsaved = kFalse;
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

int LVSaveCBF(const std::string& argument, DataSet& d, int& status) {
  static const SaveCommand kCommand{{"LVSaveCBF", "V0.3"},
                                    "cbf",
                                    LVSelectOutCBF,
                                    kFormatCBF,
                                    "LVSaveCBF; Save_CBF command, but no defined argument"};
  return Save(kCommand, argument, d, status);
}

void LVRegisterSaveCommands() {
  LVRegisterCommand({.name = "Save_CBF", .work = [](LVCommandCall& call) {
                       return LVSaveCBF(call.event.text, call.main, call.status);
                     }});
  LVRegisterCommand({.name = "Save_JPEG", .work = [](LVCommandCall& call) {
                       return LVSaveJPEG(call.event.text, call.main, call.status);
                     }});
  LVRegisterCommand({.name = "Save_Chiplot", .work = [](LVCommandCall& call) {
                       return LVSaveChiplot(call.event.text, call.main, call.status);
                     }});
  LVRegisterCommand({.name = "Save_File", .work = [](LVCommandCall& call) {
                       return LVSaveFile(call.event.text, call.main, call.status);
                     }});
}
