// Dark and flat-field correction commands.
#include "commands/LVDarkFlat.h"

#include <cstdint>

#include "commands/LVFiles.h"
#include "core/database.h"
#include "core/status.h"
#include "core/text.h"
#include "maths/MManipulate.h"
#include "ui/LVCommandRegistry.h"
#include "ui/LVFileSelect.h"

namespace {

constexpr int kDarkIndex = 2;
constexpr int kFlatIndex = 3;

DataSet& StoreNamed(DataStores& stores, int index) {
  const char* name = IStoreInitialName(index);
  for (DataSet& store : stores.stores) {
    if (IStringsEqual(store.name, name)) return store;
  }
  return stores.stores[static_cast<std::size_t>(index)];
}

bool Defined(const DataSet& d) { return d.dataAllocated && d.dataDefined && d.data; }

// The correction image must hold data of the main data's size.
int SameSize(const char* routine, const char* what, const DataSet& correction, const DataSet& d,
             int& status) {
  if (!Defined(d)) {
    IWarning(IFormat("%s: Data is not defined", routine), status);
    return kFalse;
  }
  if (!Defined(correction)) {
    IWarning(IFormat("%s: The %s store holds no data", routine, what), status);
    return kFalse;
  }
  if (correction.numX != d.numX || correction.numY != d.numY) {
    IWarning(IFormat("%s: The %s (%i * %i pixels) and the data (%i * %i pixels) differ in size",
                     routine, what, correction.numX, correction.numY, d.numX, d.numY),
             status);
    return kFalse;
  }
  return kTrue;
}

// Zero divisors of the flat field over the data's region.
std::int64_t ZeroDivisors(const DataSet& flat, const DataSet& d) {
  std::int64_t zeros = 0;
  for (int y = d.startY; y <= d.endY; ++y) {
    const float* row = flat.data.get() + IIndex(flat, 0, y);
    for (int x = d.startX; x <= d.endX; ++x) zeros += row[x] == 0.0f;
  }
  return zeros;
}

int Subtract(const DataSet& dark, DataSet& d, int& status) {
  if (!SameSize("Subtract_Dark", "Background Image", dark, d, status)) return kFalse;
  return MDatasetsSubtract(dark, d, status);
}

// Divides; a zero divisor masks its pixel, the mask switched on for it (allocated when the
// data had none). Returns the zero divisors in `zeros`.
int Divide(const DataSet& flat, DataSet& d, std::int64_t& zeros, bool& maskSwitchedOn,
           int& status) {
  zeros = 0;
  maskSwitchedOn = false;
  if (!SameSize("Divide_Flat", "Flat-Field Image", flat, d, status)) return kFalse;
  if (ZeroDivisors(flat, d) > 0) {
    if (!(d.maskAllocated && d.mask) && !IAllocateMask(d, status)) return kFalse;
    if (!d.maskInUse) {
      d.maskInUse = kTrue;
      maskSwitchedOn = true;
    }
  }
  return MDatasetsDivide(flat, d, zeros, status);
}

// Reads a file into a correction store, as "Open_File" reads one into the main store.
int LoadInto(const char* routine, const std::string& argument, const char* proposal,
             DataSet& store, int& status) {
  std::string fileName = argument;
  int prompt = kFalse;
  if (argument == "?") {
    std::string buffer = store.fileName.empty() ? proposal : store.fileName;
    if (!LVSelectInFile(256, buffer, status)) return kFalse;
    fileName = buffer;
    prompt = kTrue;
  } else if (ITrimmedLength(argument) == 0) {
    IError(IFormat("%s: No file name given", routine), status);
    return kFalse;
  }
  if (!FInputData(fileName, prompt, store, status)) {
    LVInputFailed(fileName,
                  IFormat("%s: Failed to input data from file %s", routine, fileName.c_str()),
                  status);
    return kFalse;
  }
  IInfo(IFormat("%s: %s read into \"%s\"", routine, fileName.c_str(), store.name.c_str()),
        status);
  return kTrue;
}

}  // namespace

DataSet& LVDarkStore(DataStores& stores) { return StoreNamed(stores, kDarkIndex); }
DataSet& LVFlatStore(DataStores& stores) { return StoreNamed(stores, kFlatIndex); }

bool LVDarkChosen() {
  int status = kStatusGood, chosen = kFalse;
  IGetDBBooleanItem(kSeriesSubtractDarkKey, chosen, status);
  return chosen != kFalse;
}

bool LVFlatChosen() {
  int status = kStatusGood, chosen = kFalse;
  IGetDBBooleanItem(kSeriesDivideFlatKey, chosen, status);
  return chosen != kFalse;
}

void LVChooseDarkFlat(bool dark, bool flat) {
  int status = kStatusGood;
  ISetDBBooleanItem(kSeriesSubtractDarkKey, dark ? kTrue : kFalse, status);
  ISetDBBooleanItem(kSeriesDivideFlatKey, flat ? kTrue : kFalse, status);
}

int LVSubtractDark(const DataSet& dark, DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVSubtractDark", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  if (&dark == &d) {
    IWarning("Subtract_Dark: The main data is the Background Image store itself", status);
    return kFalse;
  }
  if (!Subtract(dark, d, status)) return kFalse;
  IInfo("Background Image (dark) subtracted from main data; chosen for file series", status);
  return kTrue;
}

int LVDivideFlat(const DataSet& flat, DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVDivideFlat", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  if (&flat == &d) {
    IWarning("Divide_Flat: The main data is the Flat-Field Image store itself", status);
    return kFalse;
  }
  std::int64_t zeros = 0;
  bool switchedOn = false;
  if (!Divide(flat, d, zeros, switchedOn, status)) return kFalse;
  IInfo("Main data divided by the Flat-Field Image; chosen for file series", status);
  if (zeros > 0) {
    IInfo(IFormat("%lld pixel(s) of zero flat field masked%s", static_cast<long long>(zeros),
                  switchedOn ? " (the mask is switched on)" : ""),
          status);
  }
  return kTrue;
}

int LVApplyDarkFlat(DataSet& image, int& status) {
  static constexpr IRoutine kR{"LVApplyDarkFlat", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  DataStores& stores = LVStores();
  const bool dark = LVDarkChosen(), flat = LVFlatChosen();
  const DataSet& darkStore = LVDarkStore(stores);
  const DataSet& flatStore = LVFlatStore(stores);
  // Both are checked before either is applied, so a refused frame stays as it was read.
  if (dark && (&darkStore == &image ||
               !SameSize("Subtract_Dark", "Background Image", darkStore, image, status))) {
    return kFalse;
  }
  if (flat && (&flatStore == &image ||
               !SameSize("Divide_Flat", "Flat-Field Image", flatStore, image, status))) {
    return kFalse;
  }
  if (dark && !Subtract(darkStore, image, status)) return kFalse;
  std::int64_t zeros = 0;
  bool switchedOn = false;
  if (flat && !Divide(flatStore, image, zeros, switchedOn, status)) return kFalse;
  return kTrue;
}

void LVRegisterDarkFlatCommands() {
  LVRegisterCommand({.name = "Subtract_Dark", .work = [](LVCommandCall& call) {
                       if (!LVSubtractDark(LVDarkStore(call.stores), call.main, call.status)) {
                         return kFalse;
                       }
                       LVChooseDarkFlat(true, LVFlatChosen());
                       return kTrue;
                     }});
  LVRegisterCommand({.name = "Divide_Flat", .work = [](LVCommandCall& call) {
                       if (!LVDivideFlat(LVFlatStore(call.stores), call.main, call.status)) {
                         return kFalse;
                       }
                       LVChooseDarkFlat(LVDarkChosen(), true);
                       return kTrue;
                     }});
  LVRegisterCommand({.name = "Dark_Flat_Off", .work = [](LVCommandCall& call) {
                       LVChooseDarkFlat(false, false);
                       IInfo("No dark or flat-field correction for file series", call.status);
                       return kTrue;
                     }});
  LVRegisterCommand({.name = "Load_Dark", .work = [](LVCommandCall& call) {
                       return LoadInto("Load_Dark", call.event.text, "dark.h5",
                                       LVDarkStore(call.stores), call.status);
                     }});
  LVRegisterCommand({.name = "Load_Flat", .work = [](LVCommandCall& call) {
                       return LoadInto("Load_Flat", call.event.text, "flat.h5",
                                       LVFlatStore(call.stores), call.status);
                     }});
}
