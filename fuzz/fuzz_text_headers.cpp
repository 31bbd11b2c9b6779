// Detection and the readers whose header is text: ADSC, Bruker (with its overflow table), Klora.
#include "fileio/FInput.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const int kForced[] = {kFormatADSC, kFormatBruker, kFormatKlora, kFormatNone};
  const std::string path =
      FuzzWriteFile("input.img", {reinterpret_cast<const char*>(data), size});
  FuzzReadImage(path, kForced);
  return 0;
}
