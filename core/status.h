// Status values, the error trace, the message routines and the log file.
//
// Every routine takes the caller's status last and does nothing but record itself in the
// error trace when that status is not good. Truth values are int: -1 true, 0 false.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

inline constexpr int kStatusGood = static_cast<int>(0x80000001u);
inline constexpr int kStatusEscape = 0x7FFFFFFF;
inline constexpr int kTrue = -1;
inline constexpr int kFalse = 0;

// Longest message line (without terminator) and longest text held in records or the data-base.
inline constexpr std::size_t kLineLength = 255;

// Status codes used by name across the system (the full table lives in IStatusText).
enum StatusCode : int {
  kStatusDim1Illegal = 1,
  kStatusDim2Illegal = 2,
  kStatusNumDefined1 = 5,
  kStatusNumDefined2 = 6,
  kStatusROI1 = 9,
  kStatusROI2 = 10,
  kStatusIntRange1 = 21,
  kStatusIntRange2 = 22,
  kStatusRealRange1 = 25,
  kStatusRealRange2 = 26,
  kStatusFileOpen = 1000,
  kStatusEndOfFile = 1001,
  kStatusMemory = 1002,
  kStatusBadFileData = 1005,
  kStatusBadDataBase = 1007,
  kStatusWrite = 1010,
  kStatusRead = 1011,
  kStatusBadGeometry = 1017,
  kStatusNot1D = 1018,
  kStatusNotAllocated = 1019,
  kStatusBadHandle = 2003,
  kStatusOther = 9999,
};

// A routine's identity for the error trace.
struct IRoutine {
  const char* name;
  const char* version;
};

// Writes "name version" into the trace when the trace is empty.
void IErrorTrace(const char* name, const char* version);
const std::string& IErrorTraceText();

// The one idiom at the top of every routine:
//   if (IBad(kRoutine, status)) return kFalse;
inline bool IBad(const IRoutine& routine, int status) {
  if (status == kStatusGood) return false;
  IErrorTrace(routine.name, routine.version);
  return true;
}

// Sets a failure code, records the routine and returns false, for "return IFail(...)".
inline int IFail(const IRoutine& routine, int code, int& status) {
  status = code;
  IErrorTrace(routine.name, routine.version);
  return kFalse;
}

// The message that the status report shows for a code.
const char* IStatusText(int code);

int IResetStatus(int& status);
// Ends every command. A bad status: an error with the trace and the code's message, then the
// question whether to reset. A good status with a trace left behind: one warning naming it,
// and the trace is cleared.
int IStatusReport(int& status);
// The last system error of the program's own failing system calls (the calls record it with
// ISetSystemError). errno itself cannot serve: libraries set it on their successful paths.
void ISetSystemError(int code);
int ISystemError();
int ICheckSystemError(const std::string& label, int& status);

// ---- Message sink -------------------------------------------------------------------------
// The program installs a sink at start-up that reaches the information window, message boxes
// and yes/no questions. With none installed, lines only go to the log and boxes take their
// default answer.
enum class IBoxIcon { kNone, kInformation, kWarning, kError, kQuestion };
enum class IAnswer { kYes, kNo, kCancel };

class IMessageSink {
 public:
  virtual ~IMessageSink() = default;
  // A line for the information window.
  virtual void AddLine(const std::string& line) = 0;
  // A modal box with an OK button. echoedInLog says the same text also reaches the log as a
  // message line, so a sink that writes boxes to the log can leave it out.
  virtual void MessageBox(const std::string& text, const std::string& caption, IBoxIcon icon,
                          bool echoedInLog) = 0;
  // A yes/no/cancel question; defaultYes selects the default button.
  virtual IAnswer Question(const std::string& prompt, bool defaultYes) = 0;
};

void IInstallMessageSink(IMessageSink* sink);
IMessageSink* IMessageSinkInstalled();

// A box that is not tied to a message line (allocation failures and the like).
void IMessageBox(const std::string& text, const std::string& caption, IBoxIcon icon);

// Formats like printf and cuts the result to a message line of at most 255 characters.
std::string IFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));

int IWrite(const std::string& text, int& status);
int IInfo(const std::string& text, int& status);
int INote(const std::string& text, int& status);
int IWarning(const std::string& text, int& status);
int IError(const std::string& text, int& status);
int IErrorMessage(const std::string& text, int code, int& status);

// While an ILogOnlyScope lives on a thread, the message routines of that thread write their
// lines to the log alone: no information-window line, no box. Details that one plain message
// to the user sums up are kept this way for whoever reads the log.
class ILogOnlyScope {
 public:
  ILogOnlyScope();
  ~ILogOnlyScope();
  ILogOnlyScope(const ILogOnlyScope&) = delete;
  ILogOnlyScope& operator=(const ILogOnlyScope&) = delete;

 private:
  bool previous_;
};

// ---- Messages of a worker thread ----------------------------------------------------------
// While an IMessageCapture lives on a thread, the message routines, boxes and log lines of that
// thread are only recorded; the thread that shows things gives them out later, in order, with
// IReplayMessages. A reader running ahead on a worker thread so never reaches a window.
enum class IMessageKind { kWrite, kInfo, kNote, kWarning, kError, kErrorCode, kBox, kLog };
struct ICapturedMessage {
  IMessageKind kind = IMessageKind::kWrite;
  std::string text;
  std::string caption;  // kBox
  IBoxIcon icon = IBoxIcon::kNone;
  int code = 0;         // kErrorCode
};
class IMessageCapture {
 public:
  IMessageCapture();
  ~IMessageCapture();
  IMessageCapture(const IMessageCapture&) = delete;
  IMessageCapture& operator=(const IMessageCapture&) = delete;
  void Add(ICapturedMessage message) { messages_.push_back(std::move(message)); }
  std::vector<ICapturedMessage> Take() { return std::move(messages_); }

 private:
  std::vector<ICapturedMessage> messages_;
  IMessageCapture* previous_ = nullptr;
};
void IReplayMessages(const std::vector<ICapturedMessage>& messages, int& status);

// ---- Log file -----------------------------------------------------------------------------
int IOpenLogFile(const std::string& path, int& status);
int IWriteLogFile(const std::string& text, int& status);
int ICloseLogFile(int& status);
bool ILogOpen();
