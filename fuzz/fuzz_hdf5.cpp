// Detection and the HDF5/NeXus reader (through the HDF5 library). After every input no
// object of the library may be left open: a leaked identifier keeps the file open (and its
// name busy) for as long as the program runs.
#include <hdf5.h>

#include <cstdio>
#include <cstdlib>

#include "fileio/FInput.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const int kForced[] = {kFormatHDF5, kFormatNone};
  const std::string path =
      FuzzWriteFile("input.h5", {reinterpret_cast<const char*>(data), size});
  FuzzReadImage(path, kForced);
  const ssize_t open = H5Fget_obj_count(H5F_OBJ_ALL, H5F_OBJ_ALL);
  if (open > 0) {
    std::fprintf(stderr, "fuzz_hdf5: %zd HDF5 objects left open\n", open);
    std::abort();
  }
  return 0;
}
