// Detection and the volume reader: the information file "vol.raw.info" and the raw file
// "vol.raw" beside it. The input is the information, then kFuzzBinarySeparator and the raw
// bytes.
#include "fileio/FInput.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const int kForced[] = {kFormatVolume, kFormatNone};
  std::string_view info, raw;
  FuzzSplit({reinterpret_cast<const char*>(data), size}, info, raw);
  FuzzWriteFile("vol.raw", raw);
  FuzzReadImage(FuzzWriteFile("vol.raw.info", info), kForced);
  return 0;
}
