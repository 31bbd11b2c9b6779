// Status table, error trace, status report and system-error check-points.
#include "core/status.h"

#include <cerrno>
#include <cstring>


namespace {

// Per thread: a reader working ahead on a worker thread keeps its own trace and system error.
thread_local std::string gTrace;  // name and version of the innermost failing routine

struct StatusEntry {
  int code;
  const char* text;
};

constexpr StatusEntry kStatusTable[] = {
    {1, "First array dimension illegally defined"},
    {2, "Second array dimension illegally defined"},
    {3, "Third array dimension illegally defined"},
    {4, ">= 4th array dimension illegally defined"},
    {5, "Number of defined elements impossible: 1st dimension"},
    {6, "Number of defined elements impossible: 2nd dimension"},
    {7, "Number of defined elements impossible: 3rd dimension"},
    {8, "Number of defined elements impossible: >= 4th dimension"},
    {9, "Region of interest illegally defined: 1st dimension"},
    {10, "Region of interest illegally defined: 2nd dimension"},
    {11, "Region of interest illegally defined: 3rd dimension"},
    {12, "Region of interest illegally defined: >= 4th dimension"},
    {13, "First dimension internal array limit exceeded"},
    {14, "Second dimension internal array limit exceeded"},
    {15, "Third dimension internal array limit exceeded"},
    {16, ">= 4th dimension internal array limit exceeded"},
    {17, "First dimension: illegal relationship between two variables"},
    {18, "Second dimension: illegal relationship between two variables"},
    {19, "Third dimension: illegal relationship between two variables"},
    {20, ">= 4th dimension: illegal relationship between two variables"},
    {21, "First dimension: integer value out of acceptable range"},
    {22, "Second dimension: integer value out of acceptable range"},
    {23, "Third dimension: integer value out of acceptable range"},
    {24, "4th or greater dimension: integer value out of acceptable range"},
    {25, "First dimension: real value out of acceptable range"},
    {26, "Second dimension: real value out of  acceptable range"},
    {27, "Third dimension: real value out of acceptable range"},
    {28, "4th or greater dimension: real value out of acceptable range"},
    {29, "First dimension: number of elements is not a power of two"},
    {30, "Second dimension: number of elements is not a power of two"},
    {31, "Third dimension: number of elements is not a power of two"},
    {32, ">= 4th dimension: number of elements is not a power of two"},
    {33, "First dimension: a value which must be even is not"},
    {34, "Second dimension: a value which must be even is not"},
    {35, "Third dimension: a value which must be even is not"},
    {36, ">= 4th dimension: a value which must be even is not"},
    {37, "First dimension: Badly defined character variable"},
    {38, "Second dimension: Badly defined character variable"},
    {39, "Third dimension: Badly defined character variable"},
    {40, ">= 4th dimension: Badly defined character variable"},
    {41, "First dimension external array limit exceeded"},
    {42, "Second dimension external array limit exceeded"},
    {43, "Third dimension external array limit exceeded"},
    {44, ">= 4th dimension external array limit exceeded"},
    {1000, "Failed to open file: (file not found or Bad file name ?)"},
    {1001, "Bad input: End of file found"},
    {1002, "Bad memory allocation: Memory allocation failed"},
    {1003, "Divide by zero encountered: result set to -1.7014117e38"},
    {1004, "Logarithm of zero or a negative number: result set to -38.0"},
    {1005, "Bad data in file input"},
    {1006, "Inversion (or similar) failed; singular/ill-conditioned matrix"},
    {1007, "Operation not possible owing to Bad internal data-base state"},
    {1008, "Bad input: Error during READ statement"},
    {1009, "Unknown operating system/compiler characteristics"},
    {1010, "Write to output file failed"},
    {1011, "Read from file failed (but not EOF)"},
    {1012, "Array element values not in required order"},
    {1013, "Syntax error from an input macro"},
    {1014, "Bad data has caused problem with algorithm"},
    {1015, "String of insufficient length for assignment"},
    {1016, "Problem closing a file"},
    {1017, "Bad parameter for diffraction geometry"},
    {1018, "Data not 1-D, when it has to be for operation"},
    {1019, "Array not allocated when it needs to be"},
    {2001, "Failed to open X-11 window (use 'xhost+' on X-server ?)"},
    {2002, "Illegal graphics workstation number access attempted"},
    {2003, "Illegal handle to WIN32 window, menu, etc."},
    {2004, "Create window failed"},
    {2005, "Create font failed"},
    {9999, "Other, undefined error (doesn't fit normal categories)"},
};

}  // namespace

void IErrorTrace(const char* name, const char* version) {
  if (!gTrace.empty()) return;
  gTrace = std::string(name);
  if (version && *version) gTrace += std::string(" ") + version;
  if (gTrace.size() > kLineLength) gTrace.resize(kLineLength);
}

const std::string& IErrorTraceText() { return gTrace; }

const char* IStatusText(int code) {
  for (const auto& entry : kStatusTable) {
    if (entry.code == code) return entry.text;
  }
  return "Undefined error value";
}

int IResetStatus(int& status) {
  status = kStatusGood;
  gTrace.clear();
  return kTrue;
}

int IStatusReport(int& status) {
  int local = kStatusGood;
  if (status == kStatusGood) {
    // A routine that failed on a status of its own and let the caller's stay good leaves its
    // trace behind. It is told once; kept, it would be told again after every command.
    if (!gTrace.empty()) {
      const std::string trace = gTrace;
      gTrace.clear();
      IWarning("STATUS: The status value is correct, but error reported in: " + trace, local);
    }
    return kTrue;
  }
  if (status == kStatusEscape) {
    INote("STATUS: The status value is set to the user escape value", local);
    return kTrue;
  }

  IError(gTrace + ": " + IStatusText(status), local);

  // The question goes to the sink; with none installed the default answer, YES, applies.
  IAnswer answer = IAnswer::kYes;
  if (IMessageSink* sink = IMessageSinkInstalled()) {
    answer = sink->Question("RE-SET STATUS SYSTEM TO GOOD STATE", true);
  }
  if (answer == IAnswer::kYes) IResetStatus(status);
  return kTrue;
}

namespace {
thread_local int gSystemError = 0;
}  // namespace

void ISetSystemError(int code) { gSystemError = code; }
int ISystemError() { return gSystemError; }

int ICheckSystemError(const std::string& label, int& status) {
  // EINVAL plays the part of the harmless "invalid parameter" code the check-points ignore.
  const int code = gSystemError;
  if (code != 0 && code != EINVAL) {
    IErrorMessage(label, code, status);
  }
  gSystemError = 0;
  return kTrue;
}
