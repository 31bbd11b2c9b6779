// A file series in the real window, offscreen: the menu item, the multi-selection dialog,
// the progress dialog with "file i of N" and its Cancel button.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QPointer>
#include <QProgressDialog>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

#include "app/LVCommand.h"
#include "app/LVMenus.h"
#include "app/LVWindowMain.h"
#include "core/status.h"
#include "fileio/FReaders.h"
#include "fileio/FScanFiles.h"
#include "platform/QtBackend.h"
#include "tests/support/TestSupport.h"
#include "ui/LVDataStores.h"
#include "ui/WInfo.h"

namespace {

void Settle() {
  for (int i = 0; i < 10; ++i) QApplication::processEvents();
}

void WriteImage(const std::string& path, float level) {
  DataSet d;
  int status = kStatusGood;
  ASSERT_TRUE(IAllocateData(90, 70, d, status));
  IDefineWholeImage(d, 90, 70);
  for (int y = 0; y < 70; ++y)
    for (int x = 0; x < 90; ++x) d.data[IIndex(d, x, y)] = level + static_cast<float>((x + y) % 7);
  ASSERT_TRUE(FOutputData(path, kFormatCBF, d, status));
}

// Puts the names into the dialog's own name field and accepts, again until the dialog is
// gone: the dialog's directory model loads in the background and may not take the first.
void AcceptNames(QFileDialog* dialog, const QString& names, int attempts) {
  if (auto* edit = dialog->findChild<QLineEdit*>("fileNameEdit")) edit->setText(names);
  static_cast<QDialog*>(dialog)->accept();
  QPointer<QFileDialog> guard(dialog);
  QTimer::singleShot(100, [guard, names, attempts] {
    if (guard && guard->isVisible() && attempts > 0) AcceptNames(guard, names, attempts - 1);
  });
}

// Chooses the names in the next file dialog (several, in the dialog's quoted form); the
// dialog's title and the folder it opened in are kept.
void ChooseFiles(const QString& names, std::string& title, std::string& folder,
                 int attempts = 100) {
  QTimer::singleShot(50, [names, &title, &folder, attempts] {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    if (!dialog) {
      if (attempts > 0) ChooseFiles(names, title, folder, attempts - 1);
      return;
    }
    title = dialog->windowTitle().toStdString();
    folder = dialog->directory().absolutePath().toStdString();
    AcceptNames(dialog, names, 40);
  });
}

TEST(SeriesWindow, MovieShowsProgressAndCancelKeepsWhatIsDone) {
  ScratchDir dir;
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  ResetCoreState();
  LVResetInterpreter();
  for (int f = 0; f < 5; ++f) WriteImage(dir.File("m" + std::to_string(f) + ".cbf"), 10.0f * f);
  LVWindowTestHooks hooks;
  hooks.closeWithoutAsking = true;
  LVSetWindowTestHooks(hooks);
  ASSERT_TRUE(LVStartWindow(dir.File("m0.cbf"), false));
  PQtBackend* backend = LVWindowBackend();
  ASSERT_NE(backend, nullptr);
  backend->MainWidget()->resize(900, 700);
  Settle();
  EXPECT_TRUE(backend->MenuItemEnabled(954));

  std::string title, folder;
  ChooseFiles("\"m3.cbf\" \"m1.cbf\" \"m0.cbf\" \"m4.cbf\" \"m2.cbf\"", title, folder);
  // While the third file is shown: what the dialog says, then its Cancel button.
  std::string label, progressTitle;
  bool visible = false;
  QTimer poll;
  poll.setInterval(20);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    QProgressDialog* progress = backend->Progress();
    if (!progress || progress->labelText() != "file 3 of 5: m2.cbf") return;
    poll.stop();
    visible = progress->isVisible();
    label = progress->labelText().toStdString();
    progressTitle = progress->windowTitle().toStdString();
    for (QPushButton* button : progress->findChildren<QPushButton*>())
      if (button->text() == "Cancel") button->click();
  });
  poll.start();
  LVMenuCommand(954);
  Settle();
  EXPECT_EQ(title, "SELECT IMAGE FILES FOR INPUT");
  // The dialog opened beside the image the program started with (no series was chosen yet).
  EXPECT_EQ(folder, dir.path().string());
  EXPECT_TRUE(visible);
  EXPECT_EQ(label, "file 3 of 5: m2.cbf");
  EXPECT_EQ(progressTitle, "Movie");  // the menu item's words
  // Cancel pressed while the dialog announced the third file: the series ends before it is
  // read or after it was shown, by when the press is served.
  int done = 0;
  for (const auto& line : IInfoLines())
    std::sscanf(line.c_str(), "INFO: FS_Movie: cancelled after %d of 5 files", &done);
  EXPECT_TRUE(done == 2 || done == 3) << done;
  // Files in name order: the last one shown is the done-th.
  EXPECT_EQ(LVStores().Main().fileName, dir.File("m" + std::to_string(done - 1) + ".cbf"));
  EXPECT_EQ(backend->Progress(), nullptr);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);

  backend->CloseMainWindow();
  LVStopWindow();
  std::filesystem::current_path(previous);
  ResetCoreState();
}

}  // namespace
