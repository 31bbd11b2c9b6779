// The data-base file: loaded (never more than its 499 items), saved and loaded again.
#include "core/database.h"
#include "core/status.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzReset();
  const std::string path = FuzzWriteFile("input.idb", {reinterpret_cast<const char*>(data), size});
  int status = kStatusGood;
  ILoadDataBase(path, status);
  const int items = IDataBaseItemCount();
  if (items < 0 || items > kDataBaseMaxItems) __builtin_trap();
  status = kStatusGood;
  const std::string saved = FuzzFolder() + "/saved.idb";
  if (ISaveDataBase(saved, status)) {
    IClearDataBase();
    status = kStatusGood;
    ILoadDataBase(saved, status);
  }
  FuzzReset();
  return 0;
}
