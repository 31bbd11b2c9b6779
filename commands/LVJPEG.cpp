// The display as a JPEG picture, compressed by libjpeg.
#include "commands/LVJPEG.h"

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>

#include "core/outputfile.h"
#include "core/status.h"
#include "core/text.h"
#include "graphics/GDisplaySettings.h"
#include "graphics/GImage.h"
#include "graphics/GRender.h"
#include "platform/Platform.h"
#include "ui/LVFileSelect.h"

namespace {

class BusyCursor {
 public:
  BusyCursor() { PCurrentBackend().SetBusyCursor(true); }
  ~BusyCursor() { PCurrentBackend().SetBusyCursor(false); }
  BusyCursor(const BusyCursor&) = delete;
  BusyCursor& operator=(const BusyCursor&) = delete;
};

// The library's error manager with the place its fatal errors return to.
struct JpegError {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void ErrorExit(j_common_ptr info) {
  auto* error = reinterpret_cast<JpegError*>(info->err);
  (*info->err->format_message)(info, error->message);
  std::longjmp(error->jump, 1);
}

// The library's warnings are not fatal and have nobody to read them.
void OutputMessage(j_common_ptr) {}

// Compresses `height` rows of `width` RGB pixels into the open file, the top row (the last
// bitmap row: bitmaps are stored bottom-up) first. A library error returns here through the
// jump, so this routine holds nothing that needs destroying but the compressor itself.
bool Compress(std::FILE* file, int width, int height, std::uint8_t* bits, std::size_t rowBytes,
              JpegError* error) {
  jpeg_compress_struct info;
  std::memset(&info, 0, sizeof info);
  info.err = jpeg_std_error(&error->manager);
  error->manager.error_exit = ErrorExit;
  error->manager.output_message = OutputMessage;
  error->message[0] = '\0';
  if (setjmp(error->jump)) {
    jpeg_destroy_compress(&info);
    return false;
  }
  jpeg_create_compress(&info);
  jpeg_stdio_dest(&info, file);
  info.image_width = static_cast<JDIMENSION>(width);
  info.image_height = static_cast<JDIMENSION>(height);
  info.input_components = 3;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, 90, TRUE);
  jpeg_simple_progression(&info);
  jpeg_start_compress(&info, TRUE);
  for (int row = height - 1; row >= 0; --row) {
    JSAMPROW line = bits + static_cast<std::size_t>(row) * rowBytes;
    jpeg_write_scanlines(&info, &line, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  return true;
}

}  // namespace

int FOutputJPEG(const std::string& fileName, const DataSet& d, int& status) {
  static constexpr IRoutine kR{"FOutputJPEG", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  if (!ICheckDataLayout("FOutputJPEG:", d, status)) return kFalse;
  if (!d.dataDefined || !d.data) {
    IWarning("FOutputJPEG: Data is not defined", status);
    return kFalse;
  }
  IOutputFile out;
  if (!out.Open(fileName)) {
    IWarning(IFormat("FOutputJPEG: File open failed: %s", fileName.c_str()), status);
    return kFalse;
  }
  BusyCursor busy;

  int method = kRangeFull;
  float minimum = 0.0f, maximum = 1.0f;
  if (!GGetIntensityScaling(method, minimum, maximum, status)) return kFalse;
  const int linearity = GDisplay().linearity;

  // A 24-bit bitmap of the region, rows padded to whole words, blue-green-red, bottom-up.
  const int width = d.endX - d.startX + 1;
  const int height = d.endY - d.startY + 1;
  const int stride = (width + 3) / 4 * 4;
  const std::size_t rowBytes = static_cast<std::size_t>(stride) * 3;
  IArray<std::uint8_t> bits;
  if (!IAllocateMemory("FOutputJPEG: BITMAP", static_cast<std::int64_t>(rowBytes) * height, bits,
                       status)) {
    return kFalse;
  }
  std::memset(bits.get(), 0, rowBytes * static_cast<std::size_t>(height));
  if (linearity == kLinear) {
    if (!GLinearScaledImage(minimum, maximum, d.startX, d.startY, d, width, height, stride,
                            bits.get(), status)) {
      return kFalse;
    }
  } else if (linearity == kLogarithmic) {
    if (!GLogScaledImage(minimum, maximum, d.startX, d.startY, d, width, height, stride,
                         bits.get(), status)) {
      return kFalse;
    }
  }
  // The picture wants red, green, blue.
  for (int row = 0; row < height; ++row) {
    std::uint8_t* pixel = bits.get() + static_cast<std::size_t>(row) * rowBytes;
    for (int x = 0; x < width; ++x, pixel += 3) std::swap(pixel[0], pixel[2]);
  }

  JpegError error;
  if (!Compress(out.File(), width, height, bits.get(), rowBytes, &error)) {
    IMessageBox("FOutputJPEG: Emergency exit owing to input error", "Message:",
                IBoxIcon::kWarning);
    if (error.message[0]) IWrite(std::string("FOutputJPEG: ") + error.message, status);
    return kFalse;  // the temporary goes; an earlier file of the name stays
  }
  if (!out.Commit()) {
    IWarning("FOutputJPEG: Problem writing the file: " + fileName, status);
    return kFalse;
  }
  return kTrue;
}

int LVSaveJPEG(const std::string& argument, DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVSaveJPEG", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  std::string fileName;
  const bool asked = argument == "?";
  if (asked) {
    std::string proposed = d.fileName;
    IChangeFileExtension("jpg", proposed, status);
    if (!LVSelectOutJPEGFile(256, proposed, status)) return kFalse;
    fileName = proposed;
  } else if (argument.empty()) {
    IError("LVSaveJPEG; Save_File command, but no defined argument", status);
    return kFalse;
  } else {
    fileName = argument;
  }
  if (FOutputJPEG(fileName, d, status)) {
    IInfo("Data saved to file:", status);
    IWrite(fileName, status);
    return kTrue;
  }
  // As the other save commands: a box for a name the user picked, a note for a named file.
  const std::string text = IFormat("LVSaveJPEG: Failed to save data to file: %s", fileName.c_str());
  if (asked) {
    IWarning(text, status);
  } else {
    INote(text, status);
  }
  return kFalse;
}
