// The CBF and JPEG items of the File menu in the real main window, offscreen: a CBF named on
// the command line opens, "Save as CBF" and "Save Display as JPEG" ask with their save
// dialogs and write what was chosen, and the open dialog reads a CBF back.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QImage>
#include <QLineEdit>
#include <QPointer>
#include <QTimer>
#include <filesystem>
#include <functional>

#include "app/LVCommand.h"
#include "app/LVMenus.h"
#include "app/LVWindowMain.h"
#include "core/status.h"
#include "fileio/FCBF.h"
#include "platform/QtBackend.h"
#include "tests/support/TestSupport.h"

namespace {

void Settle() {
  for (int i = 0; i < 10; ++i) QApplication::processEvents();
}

// Answers the next modal dialog when it appears.
void WhenModal(std::function<void(QWidget*)> answer, int attempts = 100) {
  QTimer::singleShot(50, [answer, attempts] {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal) {
      if (attempts > 0) WhenModal(answer, attempts - 1);
      return;
    }
    answer(modal);
  });
}

struct Seen {
  std::string title;
  std::string suffix;
  bool save = false;
};

// Types the name into the dialog's own name field and accepts, again until the dialog is
// gone: the dialog's directory model loads in the background and may not take the first.
void AcceptWith(QFileDialog* dialog, const QString& path, int attempts) {
  if (auto* edit = dialog->findChild<QLineEdit*>("fileNameEdit")) edit->setText(path);
  dialog->selectFile(path);
  static_cast<QDialog*>(dialog)->accept();  // the file dialog's own accept checks the name
  QPointer<QFileDialog> guard(dialog);
  QTimer::singleShot(100, [guard, path, attempts] {
    if (guard && guard->isVisible() && attempts > 0) AcceptWith(guard, path, attempts - 1);
  });
}

// Chooses `path` in the next file dialog and records how the dialog was set up.
void ChooseInNextFileDialog(const std::string& path, Seen& seen) {
  WhenModal([path, &seen](QWidget* widget) {
    auto* dialog = qobject_cast<QFileDialog*>(widget);
    if (!dialog) {
      ADD_FAILURE() << "not a file dialog: " << widget->windowTitle().toStdString();
      widget->close();
      return;
    }
    seen.title = dialog->windowTitle().toStdString();
    seen.suffix = dialog->defaultSuffix().toStdString();
    seen.save = dialog->acceptMode() == QFileDialog::AcceptSave;
    AcceptWith(dialog, QString::fromStdString(path), 40);
  });
}

class SaveWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    ResetCoreState();
    LVResetInterpreter();
  }
  void TearDown() override {
    std::filesystem::current_path(previous_);
    ResetCoreState();
  }

  ScratchDir dir;
  std::filesystem::path previous_;
};

TEST_F(SaveWindow, CBFAndJPEGItemsAskWithTheirDialogsAndWrite) {
  {
    DataSet d;
    int status = kStatusGood;
    ASSERT_TRUE(IAllocateData(120, 80, d, status));
    for (int y = 0; y < 80; ++y)
      for (int x = 0; x < 120; ++x) d.data[IIndex(d, x, y)] = static_cast<float>(x * y % 500 - 2);
    IDefineWholeImage(d, 120, 80);
    d.dataDefined = kTrue;
    ASSERT_TRUE(FOutputCBF(dir.File("start.cbf"), d, status));
  }
  LVWindowTestHooks hooks;
  hooks.closeWithoutAsking = true;
  LVSetWindowTestHooks(hooks);
  ASSERT_TRUE(LVStartWindow(dir.File("start.cbf"), false));
  PQtBackend* backend = LVWindowBackend();
  ASSERT_NE(backend, nullptr);
  backend->MainWidget()->resize(700, 500);
  Settle();
  ASSERT_EQ(LVStores().Main().numX, 120);
  EXPECT_EQ(LVStores().Main().data[IIndex(LVStores().Main(), 0, 0)], -2.0f);
  EXPECT_TRUE(backend->MenuItemEnabled(103));
  EXPECT_TRUE(backend->MenuItemEnabled(105));

  Seen cbf;
  ChooseInNextFileDialog(dir.File("saved"), cbf);
  LVMenuCommand(103);
  Settle();
  EXPECT_EQ(cbf.title, "SELECT OUTPUT FILE TO CONTAIN CBF DATA");
  EXPECT_EQ(cbf.suffix, "cbf");
  EXPECT_TRUE(cbf.save);
  ASSERT_TRUE(std::filesystem::exists(dir.File("saved.cbf")));

  Seen jpeg;
  ChooseInNextFileDialog(dir.File("shown"), jpeg);
  LVMenuCommand(105);
  Settle();
  EXPECT_EQ(jpeg.title, "SELECT OUTPUT FILE TO CONTAIN JPEG IMAGE");
  EXPECT_EQ(jpeg.suffix, "jpg");
  const QImage picture(QString::fromStdString(dir.File("shown.jpg")));
  EXPECT_EQ(picture.size(), QSize(120, 80)) << ReadFile(dir.File("lumivane.log"));

  // The open dialog reads the saved CBF back.
  Seen open;
  ChooseInNextFileDialog(dir.File("saved.cbf"), open);
  LVMenuCommand(100);
  Settle();
  EXPECT_EQ(open.title, "SELECT INPUT FILE CONTAINING DATA IMAGE");
  EXPECT_FALSE(open.save);
  EXPECT_EQ(LVStores().Main().fileName, dir.File("saved.cbf"));
  EXPECT_EQ(LVStores().Main().data[IIndex(LVStores().Main(), 119, 79)],
            static_cast<float>(119 * 79 % 500 - 2));
  if (const char* keep = std::getenv("LV_KEEP_PICTURES")) {
    backend->GrabWindow(std::string(keep) + "/window-cbf.png");
  }
  backend->CloseMainWindow();
  LVStopWindow();
}

}  // namespace
