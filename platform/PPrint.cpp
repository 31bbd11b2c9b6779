#include "platform/PPrint.h"

#include <QImage>
#include <QPageLayout>
#include <QPainter>
#include <QPrinter>
#include <algorithm>

PPageJob::PPageJob(std::unique_ptr<QPrinter> printer) : printer_(std::move(printer)) {
  // The printable area at up to 150 pixels per inch: enough for an image display, and small
  // enough to draw quickly.
  const QRectF area = printer_->pageLayout().paintRectPixels(printer_->resolution());
  scale_ = std::min(1.0, 150.0 / std::max(1, printer_->resolution()));
  const int width = std::max(1, static_cast<int>(area.width() * scale_));
  const int height = std::max(1, static_cast<int>(area.height() * scale_));
  image_ = std::make_unique<QImage>(width, height, QImage::Format_RGB32);
  image_->fill(Qt::white);
  canvas_ = std::make_unique<PCanvas>(image_.get());
  page_.left = 0;
  page_.top = 0;
  page_.width = width;
  page_.height = height;
}

PPageJob::~PPageJob() = default;

bool PPageJob::Finish() {
  QPainter painter;
  if (!painter.begin(printer_.get())) return false;
  const QRectF area = printer_->pageLayout().paintRectPixels(printer_->resolution());
  painter.drawImage(QRectF(0, 0, area.width(), area.height()), *image_);
  return painter.end();
}

std::unique_ptr<QPrinter> PPdfPrinter(const std::string& path) {
  auto printer = std::make_unique<QPrinter>(QPrinter::HighResolution);
  printer->setOutputFormat(QPrinter::PdfFormat);
  printer->setOutputFileName(QString::fromStdString(path));
  printer->setDocName("Tavrisk Print job");
  return printer;
}
