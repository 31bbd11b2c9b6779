#include "app/LVCommand.h"

#include <map>
#include <optional>

#include "ui/LVDataStores.h"
#include "commands/LVCalibrant.h"
#include "commands/LVFiles.h"
#include "ui/LVMenus.h"
#include "core/status.h"
#include "data/Experiment.h"
#include "platform/Platform.h"

namespace {

struct Interpreter {
  bool firstCall = true;
  bool initialising = false;
  std::string pendingFile;
  int lastStatus = kStatusGood;
  bool nothingToDo = false;
  bool commandLineOpened = true;
  int running = 0;  // commands under way, nested ones counted
};

// Counts a command as running for its whole length, whichever way it returns.
class Running {
 public:
  explicit Running(int& depth) : depth_(depth) { ++depth_; }
  ~Running() { --depth_; }
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;

 private:
  int& depth_;
};

Interpreter& TheInterpreter() {
  static Interpreter interpreter;
  return interpreter;
}

const LVCommandSpec* Find(const std::string& name) { return LVFindCommand(name); }

int* RememberedIndex(DataStores& stores, LVChoose choose) {
  switch (choose) {
    case LVChoose::kOperand: return &stores.operandIndex;
    case LVChoose::kOutput: return &stores.outputIndex;
    case LVChoose::kModel: return &stores.modelIndex;
    default: return nullptr;
  }
}

// The frame's steps of the first command (LVSetFirstCommandSteps).
int (*gFirstCommandSteps)(int& status) = nullptr;

// Steps every command takes before its own work: the one-time initialisation of the first
// call, and the opening of a file named on the command line.
int Prepare(int& status) {
  Interpreter& interpreter = TheInterpreter();
  if (interpreter.firstCall) {
    // Cleared first: commands issued from inside the initialisation (a redraw) skip it.
    interpreter.firstCall = false;
    interpreter.initialising = true;
    const IDataChangeScope changing;  // the stores are emptied
    const int initialised = gFirstCommandSteps ? gFirstCommandSteps(status) : kTrue;
    interpreter.initialising = false;
    if (!initialised) return kFalse;
  }
  // The file named on the command line opens once the welcome lines are out.
  if (interpreter.initialising) return kTrue;

  DataStores& stores = LVStores();
  if (!interpreter.pendingFile.empty() && PCurrentBackend().HasMainWindow()) {
    const std::string file = interpreter.pendingFile;
    interpreter.pendingFile.clear();
    const IDataChangeScope changing;
    if (const LVCommandSpec* open = Find("Open_File")) {
      CommandEvent openEvent;
      openEvent.text = file;
      openEvent.value = kOpenAskStack;
      LVCommandCall call{openEvent, stores, stores.Main(), nullptr, -1, status};
      interpreter.commandLineOpened = open->work(call) != kFalse;
    }
    LVSetDataCommands(stores.Main(), status);
    LVRedraw(status);
  }
  return kTrue;
}

}  // namespace

int LVFirstPaint(int& status) {
  if (LVCommandRegistered("Plot_Data")) return LVCommand("Plot_Data", CommandEvent{}, status);
  if (status != kStatusGood) return kFalse;
  const int result = Prepare(status);
  TheInterpreter().lastStatus = status;
  return result;
}

int LVLastCommandStatus() { return TheInterpreter().lastStatus; }
bool LVLastCommandHadNothingToDo() { return TheInterpreter().nothingToDo; }
bool LVCommandLineFileOpened() { return TheInterpreter().commandLineOpened; }
bool LVInitialised() { return !TheInterpreter().firstCall; }
bool LVCommandRunning() { return TheInterpreter().running > 0; }

void LVSetFirstCommandSteps(int (*steps)(int& status)) { gFirstCommandSteps = steps; }

void LVResetInterpreter() {
  Interpreter& interpreter = TheInterpreter();
  interpreter.firstCall = true;
  interpreter.pendingFile.clear();
  interpreter.lastStatus = kStatusGood;
  interpreter.nothingToDo = false;
  interpreter.commandLineOpened = true;
}

int LVRedraw(int& status) {
  if (!LVCommandRegistered("Plot_Data")) return kTrue;
  if (!PCurrentBackend().HasMainWindow()) return kTrue;
  return LVCommand("Plot_Data", CommandEvent{}, status);
}

int LVCommandLine(const std::string& commandLine, int& status) {
  static constexpr IRoutine kR{"LVCommandLine", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (commandLine.empty()) return kTrue;
  std::string name = commandLine;
  if (name[0] == '"') name = name.size() >= 2 ? name.substr(1, name.size() - 2) : std::string();
  if (name.size() > 256) name.resize(256);
  TheInterpreter().pendingFile = name;
  TheInterpreter().commandLineOpened = true;
  return LVRedraw(status);
}

int LVCommand(const std::string& name, const CommandEvent& event, int& status) {
  static constexpr IRoutine kR{"LVCommand", "V1.17"};
  Interpreter& interpreter = TheInterpreter();
  const Running running(interpreter.running);
  interpreter.nothingToDo = false;
  if (IBad(kR, status)) {
    // A failure left unreset (NO to the question) blocks the command, but the command still
    // ends with the report, so the user is asked again and YES frees the program.
    interpreter.lastStatus = status;
    IStatusReport(status);
    return kFalse;
  }

  if (!Prepare(status)) {
    interpreter.lastStatus = status;
    interpreter.nothingToDo = false;
    return kFalse;
  }

  DataStores& stores = LVStores();
  const LVCommandSpec* spec = Find(name);
  // Commands run by the preparation (a redraw) leave their own record.
  interpreter.nothingToDo = false;
  if (!spec) {
    IWarning(IFormat("Unknown command: %s", name.c_str()), status);
    interpreter.lastStatus = status;
    IStatusReport(status);
    return kFalse;
  }

  int result = kFalse;
  bool nothingToDo = false;
  bool report = spec->report;
  const bool chooses = spec->choose != LVChoose::kNone;
  int chosenIndex = -1;
  bool cancelled = false;
  if (chooses) {
    int* remembered = RememberedIndex(stores, spec->choose);
    chosenIndex = remembered ? *remembered : stores.mainIndex;
    const int excluded = spec->choose == LVChoose::kAny ? -1 : stores.mainIndex;
    if (LVSelectDataset(spec->prompt, kNumStores, stores, spec->definedOnly ? kTrue : kFalse,
                        excluded, chosenIndex, status)) {
      if (remembered) *remembered = chosenIndex;
    } else {
      cancelled = true;
    }
  }

  if (!cancelled && status == kStatusGood) {
    // Every command but a plain redraw may change data: the data generation moves on around
    // it, and results kept against the generation are not reused while it runs.
    std::optional<IDataChangeScope> changing;
    std::optional<IDataSteadyScope> steady;
    if (spec->keepsData) {
      steady.emplace();
    } else {
      changing.emplace();
    }
    DataSet* chosen = chosenIndex >= 0 ? &stores.stores[static_cast<std::size_t>(chosenIndex)]
                                       : nullptr;
    DataSet& main = stores.Main();
    const auto geometryBefore = IGeometryValues(main);
    LVCommandCall call{event, stores, main, chosen, chosenIndex, status};
    result = spec->work(call);
    if (result && spec->setsGeometry) {
      IExperimentTakeChanges(geometryBefore, main);
      // The predicted rings follow every new geometry at once.
      if (LVCalibrantRingsShown()) LVRedraw(status);
    }
    // An output store now holds a result nobody saved; a later read into it says so.
    if (result && chosen && spec->choose == LVChoose::kOutput) chosen->resultUnsaved = kTrue;
    if (call.skipReport) report = false;
    nothingToDo = call.nothingToDo;
    if (chooses && chosen &&
        (spec->then == LVThen::kMainIsChosen ||
         (spec->then == LVThen::kMainIsChosenOnSuccess && result))) {
      LVSetNewDataset(stores, chosenIndex, stores.mainIndex, status);
    }
  }

  interpreter.lastStatus = status;
  interpreter.nothingToDo = nothingToDo;
  if (report) IStatusReport(status);
  return result;
}
