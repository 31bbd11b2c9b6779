#include "series/LVFileSeries.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <thread>

#include "commands/LVDarkFlat.h"
#include "commands/LVFiles.h"
#include "commands/LVGeometry.h"
#include "commands/LVIntegrate.h"
#include "core/database.h"
#include "core/status.h"
#include "core/text.h"
#include "fileio/FInput.h"
#include "fileio/FScanFiles.h"
#include "graphics/GCoordinates.h"
#include "graphics/GDisplaySize.h"
#include "graphics/GSpyGlass.h"
#include "maths/MIntegrate.h"
#include "maths/MManipulate.h"
#include "maths/MPeaks.h"
#include "platform/Platform.h"
#include "ui/LVCommandRegistry.h"
#include "ui/LVDataStores.h"
#include "ui/LVFileSelect.h"
#include "ui/LVMenus.h"
#include "ui/WDialogs.h"
#include "ui/WWindow.h"

namespace {

// LV_SERIES_READ_AHEAD=0 reads the files in turn (to measure what reading ahead gains).
bool gReadAhead = [] {
  const char* setting = std::getenv("LV_SERIES_READ_AHEAD");
  return !(setting && std::string(setting) == "0");
}();

// Largest file counts of the commands.
constexpr int kInput1DFiles = 8000;
constexpr int kMovieFiles = 8192;
constexpr int kCompositeFiles = 2000;
constexpr int kProjectionFiles = 2000;
constexpr int kGaussianFiles = 8000;
constexpr int kIntegrateFiles = 2000;

// A copy of the mask held before a series, put back on every file of its size.
struct SavedMask {
  bool held = false;
  int dimX = 0, dimY = 0;
  int defined = 0, inUse = 0;
  std::vector<unsigned char> bytes;

  void Take(const DataSet& d) {
    held = d.maskAllocated && d.mask && d.maskDefined;
    if (!held) return;
    dimX = d.dimX;
    dimY = d.dimY;
    defined = d.maskDefined;
    inUse = d.maskInUse;
    bytes.assign(d.mask.get(), d.mask.get() + IElementCount(d));
  }
  void PutBack(DataSet& d, int& status) const {
    if (!held || d.dimX != dimX || d.dimY != dimY) return;
    if (!d.maskAllocated || !d.mask) {
      if (!IAllocateMask(d, status)) return;
    }
    std::memcpy(d.mask.get(), bytes.data(), bytes.size());
    d.maskDefined = defined;
    d.maskInUse = inUse;
  }
};

// A file read on the worker thread: the data-set it filled and everything it said.
struct ReadAheadResult {
  DataSet data;
  int ok = kFalse;
  int status = kStatusGood;
  std::vector<ICapturedMessage> messages;
};

ReadAheadResult ReadOnWorker(std::string fileName, DataSet description) {
  ReadAheadResult r;
  IMessageCapture capture;
  IDescriptionCopy(description, r.data);
  r.ok = FInputDataWith(fileName, FInputHooks{}, r.data, r.status);
  r.messages = capture.Take();
  return r;
}

// The shared frame of every series: each file read into the main store in natural name order
// (frame_2 before frame_11), then handed to `work`; progress shown, Cancel honoured, the
// window redrawn.
struct SeriesLoop {
  const char* command = "";
  const FileSeries* series = nullptr;
  DataSet* main = nullptr;
  bool readAhead = false;
  const SavedMask* mask = nullptr;
  // The dark and flat-field corrections chosen for series are applied to every image read.
  bool darkFlat = false;
  // After file f was read (ok) or refused (!ok). False ends the series.
  std::function<int(std::size_t f, bool ok, int& status)> work;
  // Seconds to show each file (the movie).
  double dwell = 0.0;
  std::size_t done = 0;   // files handed to work
  std::size_t read = 0;   // of them, files read (and corrected) without fault
  bool cancelled = false;
};

// One file read at once (the spec of "Open_File" with a name); a bad status it leaves is
// reported and cleared so the series goes on.
int ReadNow(const std::string& path, DataSet& d, int& status) {
  int local = kStatusGood;
  const int ok = LVOpenFile(path, d, local);
  if (local != kStatusGood) {
    IWarning(IFormat("%s: %s", path.c_str(), IStatusText(local)), status);
    IResetStatus(local);
  }
  return ok;
}

int Adopt(const std::string& path, ReadAheadResult& r, DataSet& d, int& status) {
  IWriteLogFile("Selected file:", status);
  IWriteLogFile(path, status);
  IReplayMessages(r.messages, status);
  int ok = r.ok && r.status == kStatusGood;
  if (r.status != kStatusGood) {
    IWarning(IFormat("%s: %s", path.c_str(), IStatusText(r.status)), status);
  }
  if (ok) {
    FAdoptImage(r.data, d);
    IDataChanged();
  }
  return LVAfterFileInput(ok, path, d, status);
}

void Redraw(int& status) {
  if (!PCurrentBackend().Interactive()) return;  // nobody looks at a script's window
  int local = kStatusGood;
  WDrawWindow(local);
  (void)status;
}

int RunSeries(SeriesLoop& loop, int& status) {
  static constexpr IRoutine kR{"LVFSRunSeries", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  const FileSeries& s = *loop.series;
  const std::size_t n = s.names.size();
  PBackend& backend = PCurrentBackend();
  PBusyCursor busy;
  // Titled with the words of the menu item the user chose, not the command's name.
  backend.ProgressBegin(LVMenuWords(loop.command), static_cast<int>(n));
  std::future<ReadAheadResult> next;
  auto startReading = [&](std::size_t f) {
    if (!loop.readAhead || f >= n) return;
    DataSet description;
    IDescriptionCopy(*loop.main, description);
    next = std::async(std::launch::async, ReadOnWorker, s.Path(f), std::move(description));
  };
  startReading(0);
  for (std::size_t f = 0; f < n; ++f) {
    const std::string path = s.Path(f);
    if (!backend.ProgressStep(static_cast<int>(f),
                              IFormat("file %i of %i: %s", static_cast<int>(f + 1),
                                      static_cast<int>(n), s.names[f].c_str()))) {
      loop.cancelled = true;
      break;
    }
    int ok = kFalse;
    if (loop.readAhead) {
      ReadAheadResult r = next.get();
      ok = Adopt(path, r, *loop.main, status);
      // The next file is read with the description this one left, as reading in turn would.
      startReading(f + 1);
    } else {
      ok = ReadNow(path, *loop.main, status);
    }
    if (ok && loop.mask) loop.mask->PutBack(*loop.main, status);
    // A frame the chosen corrections do not fit is reported and left out.
    if (ok && loop.darkFlat && !LVApplyDarkFlat(*loop.main, status)) ok = kFalse;
    if (ok) ++loop.read;
    int local = kStatusGood;
    const int go = loop.work(f, ok != kFalse, local);
    if (local != kStatusGood) {
      // The work on one file failed: said, and the next file is taken.
      IWarning(IFormat("%s: %s: %s", loop.command, s.names[f].c_str(), IStatusText(local)),
               status);
      IResetStatus(local);
    }
    ++loop.done;
    Redraw(status);
    if (loop.dwell > 0.0) {
      if (!backend.ProgressWait(static_cast<int>(loop.dwell * 1000.0))) {
        loop.cancelled = true;
        break;
      }
    }
    if (!go) break;
  }
  if (next.valid()) next.wait();
  backend.ProgressEnd();
  if (loop.cancelled) {
    IInfo(IFormat("%s: cancelled after %i of %i files", loop.command,
                  static_cast<int>(loop.done), static_cast<int>(n)),
          status);
  }
  // Every file missing or refused: the series did nothing, though each file was only warned of.
  if (!loop.cancelled && loop.done > 0 && loop.read == 0 && status == kStatusGood) {
    IWarning(IFormat("%s: None of the %i file(s) of the series could be read", loop.command,
                     static_cast<int>(loop.done)),
             status);
    return kFalse;
  }
  return status == kStatusGood ? kTrue : kFalse;
}

// A series of HDF5 files of several image stacks reads the same stack of each: a window asks
// once, from the first file, and every name takes the path ("FILE::/PATH"). Names that name a
// stack already keep it; a script names it so.
int ChooseStack(FileSeries& series) {
  if (series.names.empty() || !PCurrentBackend().Interactive()) return kTrue;
  const std::string first = series.Path(0);
  if (!FSplitStackName(first).stack.empty()) return kTrue;
  const ILogOnlyScope quiet;  // the series says what the files hold when it reads them
  int local = kStatusGood;
  FileInfo info;
  int dataset = 1;
  std::vector<FImageStack> stacks;
  if (!FGetFileInfo(first, info, local) || info.format != kFormatHDF5 ||
      !FFindNamedStack(first, info.format, "", dataset, stacks, local) || stacks.size() < 2) {
    return kTrue;
  }
  std::vector<std::string> choices;
  for (const FImageStack& s : stacks) choices.push_back(FStackLabel(s));
  int choice = 0;
  if (!LVChooseFromList("Choose the image data-set to open", choices, choice)) return kFalse;
  for (std::string& name : series.names) name += "::" + stacks[static_cast<std::size_t>(choice)].path;
  return kTrue;
}

int Select(const char* command, int largest, FileSeries& series, int& status) {
  return LVSelectInFS(command, largest, series, status) && ChooseStack(series) ? kTrue : kFalse;
}

// The output's defined size after a series: the rows of the files done (all of them unless
// the series was cancelled).
void DefineRows(DataSet& out, int width, int rows) {
  out.numX = width;
  out.numY = std::max(1, rows);
  out.startX = 0;
  out.startY = 0;
  out.endX = width - 1;
  out.endY = out.numY - 1;
  out.dataDefined = kTrue;
}

// An output of one row per file: the Y axis counts the files from 1, so it is drawn with
// axes, and it is shown whole.
void FileRows(DataSet& out, int& status) {
  out.yLabel = "File Number";
  out.yAxisStart = 1.0f;
  out.pixelSizeY = 1.0f;
  LVAutosetMagnification(out, status);
}

bool SameSize(const char* command, const std::string& name, const DataSet& d, int dimX,
              int dimY, int& status) {
  if (d.numX == dimX && d.numY == dimY) return true;
  IWarning(IFormat("%s: %s is %i * %i pixels, the first file %i * %i: skipped", command,
                   name.c_str(), d.numX, d.numY, dimX, dimY),
           status);
  return false;
}

// Two clicked corners as a region: from the smaller to the larger coordinate, truncated to
// pixels and held inside the data.
void CornersToRegion(const float x[2], const float y[2], const DataSet& d, int& sx, int& sy,
                     int& ex, int& ey) {
  auto pixel = [](float v, int limit) {
    if (!(v >= 0.0f)) return 0;
    return std::min(limit, static_cast<int>(v));
  };
  sx = pixel(std::min(x[0], x[1]), d.numX - 1);
  ex = pixel(std::max(x[0], x[1]), d.numX - 1);
  sy = pixel(std::min(y[0], y[1]), d.numY - 1);
  ey = pixel(std::max(y[0], y[1]), d.numY - 1);
}

int ClickCorners(const DataSet& d, const std::string& prompt, float x[2], float y[2],
                 int& status) {
  int count = 2;
  return GGetCoordinates({d, prompt, kTrue, kTrue, kTrue, kFalse, 2, count, x, y, status}) &&
                 count == 2
             ? kTrue
             : kFalse;
}

// The first file, read and shown whole before the questions of a command.
int OpenFirst(const FileSeries& series, DataSet& main, int& status) {
  const int ok = ReadNow(series.Path(0), main, status);
  Redraw(status);
  return ok;
}

}  // namespace

void LVFSSetReadAhead(bool on) { gReadAhead = on; }

// ---- Stack 1-D scans --------------------------------------------------------------------------

int LVFSInput1D(DataSet& main, DataSet& output, int& status) {
  static constexpr IRoutine kR{"LVFSInput1D", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!ICheckData("LVFSInput1D:", main, status)) return kFalse;
  FileSeries series;
  if (!Select("FS_Input_1D", kInput1DFiles, series, status)) return kFalse;
  if (!OpenFirst(series, main, status)) return kFalse;
  const int width = main.numX;
  const int files = static_cast<int>(series.names.size());
  if (!IAllocateData(width, files, output, status)) return IFail(kR, 1002, status);
  std::fill(output.data.get(), output.data.get() + IElementCount(output), 0.0f);
  IDescriptionCopy(main, output);
  SeriesLoop loop;
  loop.command = "FS_Input_1D";
  loop.series = &series;
  loop.main = &main;
  loop.work = [&](std::size_t f, bool ok, int& st) {
    if (!ok) return kTrue;
    if (main.numX != width) {
      IWarning(IFormat("FS_Input_1D: %s has %i values per row, the first file %i: skipped",
                       series.names[f].c_str(), main.numX, width),
               st);
      return kTrue;
    }
    std::copy(main.data.get(), main.data.get() + width,
              output.data.get() + static_cast<std::size_t>(f) * output.dimX);
    return kTrue;
  };
  const int anyRead = RunSeries(loop, status);
  DefineRows(output, width, static_cast<int>(loop.done));
  FileRows(output, status);
  IDataChanged();
  return anyRead && status == kStatusGood ? kTrue : kFalse;
}

// ---- Composite ----------------------------------------------------------------------------------

int LVFSComposite(DataSet& main, DataSet& output, int& status) {
  static constexpr IRoutine kR{"LVFSComposite", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!ICheckData("LVFSComposite:", main, status)) return kFalse;
  FileSeries series;
  if (!Select("FS_Composite", kCompositeFiles, series, status)) return kFalse;
  if (!OpenFirst(series, main, status)) return kFalse;
  const int files = static_cast<int>(series.names.size());
  const int firstX = main.numX, firstY = main.numY;

  int perLine = static_cast<int>(std::sqrt(static_cast<double>(files)) + 0.999);
  if (!WGetInteger({"ENTER NUMBER OF IMAGES PER LINE:", kTrue, kTrue, 1, files, perLine, status}))
    return kFalse;
  int factor = 1;
  IGetDBIntItem("Composite_Image_Rebinning_Factor", factor, status);
  const int largestFactor = std::clamp(std::min(firstX, firstY) / 4, 1, 64);
  factor = std::clamp(factor, 1, largestFactor);
  if (!WGetInteger({"ENTER FACTOR TO RE-BIN IMAGES:", kTrue, kTrue, 1, largestFactor, factor,
                    status}))
    return kFalse;
  ISetDBIntItem("Composite_Image_Rebinning_Factor", factor, status);

  int subtract = kFalse;
  if (!WGetBoolean({"DO YOU WANT TO SUBTRACT A BACKGROUND IMAGE ?", kTrue, subtract, status}))
    return kFalse;
  DataSet background;
  if (subtract) {
    if (!LVOpenFile("?", background, status)) return kFalse;
    if (background.numX != firstX || background.numY != firstY) {
      IWarning(IFormat("FS_Composite: The background image is %i * %i pixels, the images %i * %i",
                       background.numX, background.numY, firstX, firstY),
               status);
      return kFalse;
    }
  }
  int chooseRegion = kFalse;
  if (!WGetBoolean({"DO YOU WANT TO SELECT A REGION OF INTEREST ?", kTrue, chooseRegion, status}))
    return kFalse;
  int sx = 0, sy = 0, ex = firstX - 1, ey = firstY - 1;
  if (chooseRegion) {
    float x[2] = {0, 0}, y[2] = {0, 0};
    if (!ClickCorners(main, "ENTER CORNERS OF ROI", x, y, status)) return kFalse;
    CornersToRegion(x, y, main, sx, sy, ex, ey);
  }
  const int tileX = (ex - sx + 1) / factor;
  const int tileY = (ey - sy + 1) / factor;
  if (tileX < 1 || tileY < 1) {
    IWarning("FS_Composite: The region is smaller than the re-binning factor", status);
    return kFalse;
  }
  const int lines = (files + perLine - 1) / perLine;
  const long long width = static_cast<long long>(perLine) * tileX;
  const long long height = static_cast<long long>(lines) * tileY;
  if (width > 2147483647LL || height > 2147483647LL) return IFail(kR, 1002, status);
  if (!IAllocateData(static_cast<int>(width), static_cast<int>(height), output, status))
    return IFail(kR, 1002, status);
  std::fill(output.data.get(), output.data.get() + IElementCount(output), 0.0f);
  DefineRows(output, static_cast<int>(width), static_cast<int>(height));

  SeriesLoop loop;
  loop.command = "FS_Composite";
  loop.darkFlat = true;
  loop.series = &series;
  loop.main = &main;
  int tile = 0;
  loop.work = [&](std::size_t f, bool ok, int& st) {
    const int position = tile++;  // a file that fails leaves its tile empty
    if (!ok || !SameSize("FS_Composite", series.names[f], main, firstX, firstY, st)) return kTrue;
    main.startX = sx;
    main.startY = sy;
    main.endX = ex;
    main.endY = ey;
    if (subtract && !MDatasetsSubtract(background, main, st)) return kTrue;
    // Tiles fill a line from the left; lines run from the top of the composite down.
    const int column = position % perLine;
    const int line = position / perLine;
    const int outX = column * tileX;
    const int outY = static_cast<int>(height) - (line + 1) * tileY;
    MROIRebin(factor, factor, main, outX, outY, output, st);
    return kTrue;
  };
  const int anyRead = RunSeries(loop, status);
  IDescriptionCopy(main, output);
  ISetText(output.title, "Composite Image");
  output.pixelSizeX = main.pixelSizeX * static_cast<float>(factor);
  output.pixelSizeY = main.pixelSizeY * static_cast<float>(factor);
  DefineRows(output, static_cast<int>(width), static_cast<int>(height));
  IDataChanged();
  return anyRead && status == kStatusGood ? kTrue : kFalse;
}

// ---- Movie --------------------------------------------------------------------------------------

int LVFSMovie(DataSet& main, int& status) {
  static constexpr IRoutine kR{"LVFSMovie", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!ICheckData("LVFSMovie:", main, status)) return kFalse;
  FileSeries series;
  if (!Select("FS_Movie", kMovieFiles, series, status)) return kFalse;
  // The spy-glass would cover the pictures: hidden for the show (its setting stays).
  const int glass = GSpyGlassShown();
  int left = 0, top = 0, width = 0, height = 0;
  if (glass) {
    GSpyGlassGetPosition(left, top, width, height, status);
    GSpyGlassDestroy(status);
  }
  SeriesLoop loop;
  loop.command = "FS_Movie";
  loop.darkFlat = true;
  loop.series = &series;
  loop.main = &main;
  loop.dwell = 0.5;
  loop.work = [](std::size_t, bool, int&) { return kTrue; };
  const int anyRead = RunSeries(loop, status);
  if (glass) GSpyGlassCreate(left, top, width, height, status);
  Redraw(status);
  return anyRead && status == kStatusGood ? kTrue : kFalse;
}

// ---- Integration --------------------------------------------------------------------------------

int LVFSIntegrate(DataSet& main, DataSet& output, int& status) {
  static constexpr IRoutine kR{"LVFSIntegrate", "V0.5"};
  if (IBad(kR, status)) return kFalse;
  int proceed = kTrue;
  if (!WGetBoolean({"THE EXPERIMENTAL GEOMETRY AND ANY MASKING SHOULD BE DEFINED FIRST. DO YOU "
                    "WANT TO CONTINUE ?",
                    kTrue, proceed, status}) ||
      !proceed) {
    return kFalse;
  }
  if (!ICheckData("LVFSIntegrate:", main, status)) return kFalse;
  if (!LVCheckGeometrySet(kR.name, main, status)) return kFalse;
  FileSeries series;
  if (!Select("FS_Integrate", kIntegrateFiles, series, status)) return kFalse;
  int scanType = kScan2Theta;
  if (!LVSelectScanType(scanType, status)) return kFalse;
  float maximumD = 10.0f;
  if (scanType == kScanDSpacing) {
    IGetDBRealItem("Maximum_D_Spacing", maximumD, status);
    if (!LVAskReal(kR.name, "ENTER MAXIMUM D-SPACING FOR INTEGRATED SCAN:", 1.0f, 10000.0f,
                   maximumD, status))
      return kFalse;
    ISetDBRealItem("Maximum_D_Spacing", maximumD, status);
  }
  int save = kFalse;
  IGetDBBooleanItem("FS_Integration_Save", save, status);
  if (!WGetBoolean({"SAVE INTEGRATED RESULTS TO A SERIES OF OUTPUT FILES", kTrue, save, status}))
    return kFalse;
  ISetDBBooleanItem("FS_Integration_Save", save, status);
  std::string extension = "chi";
  if (save) {
    IGetDBItem("FS_Integration_Extension", extension, status);
    if (!WGetString({"ENTER EXTENSION FOR OUTPUT FILES E.G. dat", kTrue, extension, status}))
      return kFalse;
    extension.resize(static_cast<std::size_t>(ITrimmedLength(extension)));
    if (!extension.empty() && extension[0] == '.') extension.erase(0, 1);
    if (extension.empty()) {
      IWarning("FS_Integrate: The output extension is empty", status);
      return kFalse;
    }
    // The scans never replace the images they come from.
    for (const std::string& name : series.names) {
      std::string out = name;
      IChangeFileExtension(extension, out, status);
      if (out == name) {
        IWarning(IFormat("FS_Integrate: The output extension \"%s\" is that of the input file %s; "
                         "choose another so the input files are not overwritten",
                         extension.c_str(), name.c_str()),
                 status);
        return kFalse;
      }
    }
    ISetDBItem("FS_Integration_Extension", extension, status);
  }
  int oversampling = 1;
  IGetDBIntItem("2Theta_Integration_Oversampling_Factor", oversampling, status);
  if (!WGetInteger({"ENTER OVER-SAMPLING FACTOR FOR INTEGRATED DATA:", kTrue, kTrue, 1, 10,
                    oversampling, status}))
    return kFalse;
  ISetDBIntItem("2Theta_Integration_Oversampling_Factor", oversampling, status);
  int variances = kFalse;
  IGetDBBooleanItem("Integrate_Calculate_Variances", variances, status);

  IntegrationParameters p;
  if (!LVIntegrationParameters(scanType, main, oversampling, maximumD, p, status)) return kFalse;
  p.variances = variances ? kTrue : kFalse;
  LVIntegrationErrors(p, status);  // counting-statistics errors when switched on
  const int files = static_cast<int>(series.names.size());
  DataSet scan;
  if (!IAllocateData(p.bins, 1, scan, status) || !IAllocateVariances(scan, status) ||
      !IAllocateData(p.bins, files, output, status) || !IAllocateVariances(output, status)) {
    return IFail(kR, 1002, status);
  }
  std::fill(output.data.get(), output.data.get() + IElementCount(output), 0.0f);
  std::fill(output.variances.get(), output.variances.get() + IElementCount(output), 0.0f);

  SavedMask mask;
  mask.Take(main);
  SeriesLoop loop;
  loop.command = "FS_Integrate";
  loop.darkFlat = true;
  loop.series = &series;
  loop.main = &main;
  loop.readAhead = gReadAhead;
  loop.mask = &mask;
  bool described = false;
  loop.work = [&](std::size_t f, bool ok, int& st) {
    if (!ok) return kTrue;
    if (!MROIIntegrate(main, p, scan, st)) return kTrue;
    IInfo(IFormat("%s integrated to 1-D scan", series.names[f].c_str()), st);
    if (save) {
      std::string out = FSplitStackName(series.Path(f)).file;
      IChangeFileExtension(extension, out, st);
      if (!LVSaveChiplot(out, scan, st)) return kTrue;
    }
    const std::size_t row = f * static_cast<std::size_t>(output.dimX);
    std::copy(scan.data.get(), scan.data.get() + p.bins, output.data.get() + row);
    if (p.variances)
      std::copy(scan.variances.get(), scan.variances.get() + p.bins, output.variances.get() + row);
    if (!described) {
      IDescriptionCopy(scan, output);
      described = true;
    }
    return kTrue;
  };
  const int anyRead = RunSeries(loop, status);
  DefineRows(output, p.bins, static_cast<int>(loop.done));
  output.variancesDefined = p.variances ? kTrue : kFalse;
  FileRows(output, status);
  IDataChanged();
  return anyRead && status == kStatusGood ? kTrue : kFalse;
}

// ---- Projection ---------------------------------------------------------------------------------

int LVFSProjection(DataSet& main, DataSet& output, int& status) {
  static constexpr IRoutine kR{"LVFSProjection", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!ICheckData("LVFSProjection:", main, status)) return kFalse;
  FileSeries series;
  if (!Select("FS_Projection", kProjectionFiles, series, status)) return kFalse;
  if (!OpenFirst(series, main, status) || !main.dataDefined) return kFalse;
  int oversampling = 1;
  float x[4] = {0, 0, 0, 0}, y[4] = {0, 0, 0, 0};
  if (!LVInpProjection(main, oversampling, x, y, status)) return kFalse;
  ProjectionParameters p;
  if (!LVProjectionParameters(main, oversampling, x, y, p, status)) return kFalse;
  const int files = static_cast<int>(series.names.size());
  DataSet line;
  if (!IAllocateData(p.bins, 1, line, status) || !IAllocateData(p.bins, files, output, status))
    return IFail(kR, 1002, status);
  std::fill(output.data.get(), output.data.get() + IElementCount(output), 0.0f);

  SeriesLoop loop;
  loop.command = "FS_Projection";
  loop.darkFlat = true;
  loop.series = &series;
  loop.main = &main;
  loop.readAhead = gReadAhead;
  bool described = false;
  loop.work = [&](std::size_t f, bool ok, int& st) {
    if (!ok || !MProjection(main, p, x, y, line, st)) return kTrue;
    IInfo(IFormat("1-D projection of %s calculated", series.names[f].c_str()), st);
    std::copy(line.data.get(), line.data.get() + p.bins,
              output.data.get() + f * static_cast<std::size_t>(output.dimX));
    if (!described) {
      IDescriptionCopy(line, output);
      described = true;
    }
    return kTrue;
  };
  const int anyRead = RunSeries(loop, status);
  DefineRows(output, p.bins, static_cast<int>(loop.done));
  FileRows(output, status);
  IDataChanged();
  return anyRead && status == kStatusGood ? kTrue : kFalse;
}

// ---- Following a peak ---------------------------------------------------------------------------

int LVFSDiz2IGaussian(DataSet& main, DataSet& output, int& status) {
  static constexpr IRoutine kR{"LVFSDiz2IGaussian", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!ICheckData("LVFSDiz2IGaussian:", main, status)) return kFalse;
  FileSeries series;
  if (!Select("FS_Fit_2D_Gaussian", kGaussianFiles, series, status)) return kFalse;
  if (!OpenFirst(series, main, status)) return kFalse;
  float cx[2] = {0, 0}, cy[2] = {0, 0};
  if (!ClickCorners(main, "ENTER CORNERS OF REGION TO FIT 2-D GAUSSIANS", cx, cy, status))
    return kFalse;
  float px = 0.0f, py = 0.0f;
  if (!GGetCoordinate(main, "CLICK ON PEAK TO FIT (AND FOLLOW):", kTrue, px, py, status))
    return kFalse;
  int sx = 0, sy = 0, ex = 0, ey = 0;
  CornersToRegion(cx, cy, main, sx, sy, ex, ey);

  PixelRegion estimateRegion;
  float background = 0.0f;
  Gaussian2DPeak peak;
  if (!MInit2DGaussian(static_cast<int>(std::floor(px)), static_cast<int>(std::floor(py)), main,
                       estimateRegion, background, peak, status)) {
    IWarning("FS_Fit_2D_Gaussian: No start for the fit: no peak stands out at the click", status);
    return kFalse;
  }
  auto seven = [&](double angleScale) {
    return IFormat("%f %f %f %f %f %f %f", static_cast<double>(peak.centreX),
                   static_cast<double>(peak.centreY), static_cast<double>(peak.intensity),
                   static_cast<double>(peak.sigma1), static_cast<double>(peak.sigma2),
                   static_cast<double>(peak.angle) * angleScale, static_cast<double>(background));
  };
  IWrite("Starting estimated parameters are:", status);
  IWrite("Centre-X, Centre-Y, Maximum Intensity, Sigma 1, Sigma 2, Angle 1, Background", status);
  IWrite(seven(1.0), status);
  IWrite(" ", status);
  IWrite("Fitted parameter results are given as:", status);

  const int files = static_cast<int>(series.names.size());
  if (!IAllocateData(files, 8, output, status)) return IFail(kR, 1002, status);
  std::fill(output.data.get(), output.data.get() + IElementCount(output), 0.0f);
  const std::string intensityLabel = main.zLabel;
  const int firstX = main.numX, firstY = main.numY;

  SavedMask mask;
  mask.Take(main);
  DataSet model;
  SeriesLoop loop;
  loop.command = "FS_Fit_2D_Gaussian";
  loop.darkFlat = true;
  loop.series = &series;
  loop.main = &main;
  loop.mask = &mask;
  loop.work = [&](std::size_t f, bool ok, int& st) {
    if (!ok || !SameSize("FS_Fit_2D_Gaussian", series.names[f], main, firstX, firstY, st))
      return kTrue;
    main.startX = sx;
    main.startY = sy;
    main.endX = ex;
    main.endY = ey;
    if (!model.dataAllocated || model.dimX < ex + 1 || model.dimY < ey + 1) {
      if (!IAllocateData(ex + 1, ey + 1, model, st)) return kFalse;
    }
    // Each fit starts where the previous file's ended, so it follows the peak.
    if (!MDiz2IGaussian(main, background, peak, model, st)) return kTrue;
    IWrite(seven(180.0 / M_PI), st);
    const float values[8] = {peak.centreX, peak.centreY, peak.intensity, peak.sigma1,
                             peak.sigma2, static_cast<float>(peak.angle * (180.0 / M_PI)),
                             background,
                             static_cast<float>(2.0 * M_PI * peak.intensity * peak.sigma1 *
                                                peak.sigma2)};
    for (int row = 0; row < 8; ++row) output.data[IIndex(output, static_cast<int>(f), row)] = values[row];
    return kTrue;
  };
  const int anyRead = RunSeries(loop, status);
  // Column f is file f: the columns of the files done.
  output.numX = std::max(1, static_cast<int>(loop.done));
  output.numY = 8;
  output.startX = output.startY = 0;
  output.endX = output.numX - 1;
  output.endY = 7;
  output.dataDefined = kTrue;
  output.xAxisInPixels = kTrue;
  ISetText(output.title, "Fitted Parameters of 2-D Gaussian and Background");
  ISetText(output.xLabel, "File Number");
  ISetText(output.yLabel,
           "Centre-X, CentreY, Maximum Intensity, Sigma 1, Sigma 2, Angle 1, Background, "
           "Integrated Intensity");
  ISetText(output.zLabel, intensityLabel);
  IDataChanged();
  return anyRead && status == kStatusGood ? kTrue : kFalse;
}

// ---- Merging the chunks of a series ---------------------------------------------------------------

int LVFSStackRows(const std::vector<std::string>& inputs, const std::string& output,
                  int& status) {
  static constexpr IRoutine kR{"LVFSStackRows", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  if (inputs.empty()) {
    IWarning("LVFSStackRows: No input files", status);
    return kFalse;
  }
  std::vector<DataSet> parts(inputs.size());
  long long rows = 0;
  int width = 0;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    if (!FInputDataWith(inputs[i], FInputHooks{}, parts[i], status)) return kFalse;
    if (i == 0) width = parts[i].numX;
    if (parts[i].numX != width) {
      IWarning(IFormat("LVFSStackRows: %s has %i values per row, %s has %i: nothing written",
                       inputs[i].c_str(), parts[i].numX, inputs[0].c_str(), width),
               status);
      return kFalse;
    }
    rows += parts[i].numY;
  }
  if (rows > 2147483647LL) return IFail(kR, kStatusIntRange1, status);
  DataSet stacked;
  if (!IAllocateData(width, static_cast<int>(rows), stacked, status)) return kFalse;
  std::size_t at = 0;
  for (const DataSet& part : parts) {
    for (int y = 0; y < part.numY; ++y) {
      const float* from = part.data.get() + IIndex(part, 0, y);
      std::copy(from, from + width, stacked.data.get() + at);
      at += static_cast<std::size_t>(stacked.dimX);
    }
  }
  IDescriptionCopy(parts.front(), stacked);
  DefineRows(stacked, width, static_cast<int>(rows));
  const std::size_t dot = output.find_last_of('.');
  const std::string ext = dot == std::string::npos ? "" : output.substr(dot + 1);
  const int format = (ext == "chi" || ext == "CHI") ? kFormatChiplot : kFormatBSL;
  if (!FOutputData(output, format, stacked, status)) return kFalse;
  IInfo(IFormat("%i rows of %i files stacked into %s", static_cast<int>(rows),
                static_cast<int>(inputs.size()), output.c_str()),
        status);
  return kTrue;
}

// ---- Commands -----------------------------------------------------------------------------------

void LVRegisterSeriesCommands() {
  auto series = [](const char* name, int (*routine)(DataSet&, DataSet&, int&),
                   const char* prompt) {
    LVRegisterCommand({.name = name,
                       .work = [routine](LVCommandCall& call) {
                         return routine(call.main, *call.chosen, call.status);
                       },
                       .choose = LVChoose::kOutput,
                       .prompt = prompt,
                       .then = LVThen::kMainIsChosenOnSuccess});
  };
  series("FS_Composite", LVFSComposite,
         "Select data-set for output of composite image formed from images from file series");
  series("FS_Fit_2D_Gaussian", LVFSDiz2IGaussian,
         "Select data-set for output of Gaussian fit parameters");
  series("FS_Input_1D", LVFSInput1D, "Select data-set for output of combined data from file series");
  series("FS_Integrate", LVFSIntegrate,
         "Select data-set for output of integrated images from file series");
  series("FS_Projection", LVFSProjection, "Select data-set for output of projections from file series");
  LVRegisterCommand({.name = "FS_Movie", .work = [](LVCommandCall& call) {
                       return LVFSMovie(call.main, call.status);
                     }});
}
