// Message routines and the log file. A line is formatted, added to the information window,
// shown in a box where the routine has one (the box is modal), and only then appended to
// the log, so the log reads in the order the user saw things.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/status.h"

#include "core/outputfile.h"

namespace {

IMessageSink* gSink = nullptr;
std::FILE* gLog = nullptr;
thread_local IMessageCapture* tCapture = nullptr;
thread_local bool tLogOnly = false;

// True when this thread's messages are being recorded (and so were).
bool Captured(IMessageKind kind, const std::string& text, int code = 0) {
  // Lines for the log alone are recorded as log lines (by IWriteLogFile), never as messages.
  if (!tCapture || (tLogOnly && kind != IMessageKind::kLog)) return false;
  ICapturedMessage message;
  message.kind = kind;
  message.text = text;
  message.code = code;
  tCapture->Add(std::move(message));
  return true;
}

constexpr IRoutine kIWriteLogFile{"IWriteLogFile", "V0.4"};
constexpr IRoutine kIOpenLogFile{"IOpenLogFile", "V0.3"};
constexpr IRoutine kICloseLogFile{"ICloseLogFile", "V0.2"};

std::string CutLine(std::string line) {
  if (line.size() > kLineLength) line.resize(kLineLength);
  return line;
}

void AddLine(const std::string& line) {
  if (gSink) gSink->AddLine(line);
}

// The shared tail of every message routine: window line, optional box, then the log.
int Emit(const IRoutine& routine, const std::string& line, const std::string* boxText,
         const char* caption, IBoxIcon icon, int& status) {
  if (IBad(routine, status)) return kFalse;
  const std::string cut = CutLine(line);
  if (tLogOnly) {
    IWriteLogFile(cut, status);
    return kTrue;
  }
  AddLine(cut);
  if (boxText && gSink) gSink->MessageBox(*boxText, caption, icon, true);
  IWriteLogFile(cut, status);
  // A log failure gives up the log but never the message; the status carries it to the next
  // status report.
  return kTrue;
}

}  // namespace

ILogOnlyScope::ILogOnlyScope() : previous_(tLogOnly) { tLogOnly = true; }
ILogOnlyScope::~ILogOnlyScope() { tLogOnly = previous_; }

void IInstallMessageSink(IMessageSink* sink) { gSink = sink; }
IMessageSink* IMessageSinkInstalled() { return gSink; }

IMessageCapture::IMessageCapture() : previous_(tCapture) { tCapture = this; }
IMessageCapture::~IMessageCapture() { tCapture = previous_; }

void IReplayMessages(const std::vector<ICapturedMessage>& messages, int& status) {
  for (const ICapturedMessage& m : messages) {
    switch (m.kind) {
      case IMessageKind::kWrite: IWrite(m.text, status); break;
      case IMessageKind::kInfo: IInfo(m.text, status); break;
      case IMessageKind::kNote: INote(m.text, status); break;
      case IMessageKind::kWarning: IWarning(m.text, status); break;
      case IMessageKind::kError: IError(m.text, status); break;
      case IMessageKind::kErrorCode: IErrorMessage(m.text, m.code, status); break;
      case IMessageKind::kBox: IMessageBox(m.text, m.caption, m.icon); break;
      case IMessageKind::kLog: IWriteLogFile(m.text, status); break;
    }
  }
}

void IMessageBox(const std::string& text, const std::string& caption, IBoxIcon icon) {
  if (tCapture) {
    ICapturedMessage message;
    message.kind = IMessageKind::kBox;
    message.text = text;
    message.caption = caption;
    message.icon = icon;
    tCapture->Add(std::move(message));
    return;
  }
  if (gSink) gSink->MessageBox(text, caption, icon, false);
}

std::string IFormat(const char* format, ...) {
  char buffer[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return CutLine(buffer);
}

int IWrite(const std::string& text, int& status) {
  static constexpr IRoutine kR{"IWrite", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (Captured(IMessageKind::kWrite, text)) return kTrue;
  return Emit(kR, text, nullptr, "", IBoxIcon::kNone, status);
}

int IInfo(const std::string& text, int& status) {
  static constexpr IRoutine kR{"IInfo", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (Captured(IMessageKind::kInfo, text)) return kTrue;
  return Emit(kR, "INFO: " + text, nullptr, "", IBoxIcon::kNone, status);
}

int INote(const std::string& text, int& status) {
  static constexpr IRoutine kR{"INote", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (Captured(IMessageKind::kNote, text)) return kTrue;
  return Emit(kR, "NOTE: " + text, nullptr, "", IBoxIcon::kNone, status);
}

int IWarning(const std::string& text, int& status) {
  static constexpr IRoutine kR{"IWarning", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  if (Captured(IMessageKind::kWarning, text)) return kTrue;
  const std::string box = CutLine(text);
  return Emit(kR, "WARNING: " + text, &box, "WARNING:", IBoxIcon::kWarning, status);
}

int IError(const std::string& text, int& status) {
  static constexpr IRoutine kR{"IError", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  if (Captured(IMessageKind::kError, text)) return kTrue;
  const std::string box = CutLine(text);
  return Emit(kR, "ERROR: " + text, &box, "!!! ATTENTION ERROR OCCURRED: !!!", IBoxIcon::kError,
              status);
}

int IErrorMessage(const std::string& text, int code, int& status) {
  static constexpr IRoutine kR{"IErrorMessage", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (Captured(IMessageKind::kErrorCode, text, code)) return kTrue;
  const std::string first = CutLine("ERROR: " + text);
  const std::string second = IFormat("%i: %s", code, std::strerror(code));
  if (tLogOnly) {
    IWriteLogFile(first, status);
    IWriteLogFile(second, status);
    return kTrue;
  }
  AddLine(first);
  AddLine(second);
  if (gSink) gSink->MessageBox(second, CutLine(text), IBoxIcon::kError, true);
  IWriteLogFile(first, status);
  IWriteLogFile(second, status);
  return kTrue;
}

int IOpenLogFile(const std::string& path, int& status) {
  if (IBad(kIOpenLogFile, status)) return kFalse;
  if (gLog) {
    std::fclose(gLog);
    gLog = nullptr;
  }
  // The log is written as any save is (a device, a pipe or a read-only file under its name is
  // left alone, and the program runs without a log).
  std::FILE* file = IOpenOutputStream(path);
  if (!file) return IFail(kIOpenLogFile, kStatusFileOpen, status);
  const std::string header = "Quorvel: Log File: " + path + "\n\n";
  if (std::fputs(header.c_str(), file) < 0 || std::fflush(file) != 0) {
    std::fclose(file);
    return IFail(kIOpenLogFile, kStatusWrite, status);
  }
  gLog = file;
  return kTrue;
}

int IWriteLogFile(const std::string& text, int& status) {
  if (tCapture) {
    if (IBad(kIWriteLogFile, status)) return kFalse;
    Captured(IMessageKind::kLog, text);
    return kTrue;
  }
  if (!gLog) return kFalse;
  if (IBad(kIWriteLogFile, status)) return kFalse;
  // Flushed line by line: the log must hold everything up to a crash.
  if (std::fputs(text.c_str(), gLog) < 0 || std::fputc('\n', gLog) == EOF ||
      std::fflush(gLog) != 0) {
    std::fclose(gLog);
    gLog = nullptr;
    return IFail(kIWriteLogFile, kStatusWrite, status);
  }
  return kTrue;
}

int ICloseLogFile(int& status) {
  (void)status;
  (void)kICloseLogFile;
  if (!gLog) return kTrue;
  std::fclose(gLog);
  gLog = nullptr;
  return kTrue;
}

bool ILogOpen() { return gLog != nullptr; }
