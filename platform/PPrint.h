// A page drawn at the printer's resolution into an image and sent to a printer in one piece,
// so every drawing routine works on it as on the window.
#pragma once

#include <memory>
#include <string>

#include "platform/PCanvas.h"
#include "platform/Platform.h"

class QPrinter;
class QImage;

class PPageJob {
 public:
  // Prepares the page of `printer` (which the job then owns).
  explicit PPageJob(std::unique_ptr<QPrinter> printer);
  ~PPageJob();
  PCanvas* Canvas() { return canvas_.get(); }
  const PPrintPage& Page() const { return page_; }
  // Sends the page to the printer; false when the device refused it.
  bool Finish();

 private:
  std::unique_ptr<QPrinter> printer_;
  std::unique_ptr<QImage> image_;
  std::unique_ptr<PCanvas> canvas_;
  PPrintPage page_;
  double scale_ = 1.0;
};

// A printer that writes a PDF file (batch runs and tests).
std::unique_ptr<QPrinter> PPdfPrinter(const std::string& path);
