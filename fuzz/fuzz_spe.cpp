// Detection and the Princeton (SPE) reader.
#include "fileio/FInput.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const int kForced[] = {kFormatPrinceton, kFormatNone};
  const std::string path =
      FuzzWriteFile("input.spe", {reinterpret_cast<const char*>(data), size});
  FuzzReadImage(path, kForced);
  return 0;
}
