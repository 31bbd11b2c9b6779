// The real main window, offscreen: start-up and shut-down, menus, accelerators, dialogs.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <unistd.h>

#include "app/LVCommand.h"
#include "app/LVMenus.h"
#include "app/LVWindowMain.h"
#include "core/database.h"
#include "core/status.h"
#include "graphics/GDisplaySettings.h"
#include "platform/QtBackend.h"
#include "tests/support/TestSupport.h"

namespace {

// Answers the next modal dialog or box when it appears.
void WhenModal(std::function<void(QWidget*)> answer, int attempts = 50) {
  QTimer::singleShot(50, [answer, attempts] {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal) {
      if (attempts > 0) WhenModal(answer, attempts - 1);
      return;
    }
    answer(modal);
  });
}

void Click(QWidget* dialog, const QString& text) {
  for (QPushButton* button : dialog->findChildren<QPushButton*>()) {
    if (button->text().remove('&') == text) {
      button->click();
      return;
    }
  }
  if (auto* box = qobject_cast<QMessageBox*>(dialog)) {
    for (QAbstractButton* button : box->buttons()) {
      if (button->text().remove('&') == text) {
        button->click();
        return;
      }
    }
  }
  ADD_FAILURE() << "no button " << text.toStdString();
}

void Settle() {
  for (int i = 0; i < 10; ++i) QApplication::processEvents();
}

class Window : public ::testing::Test {
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
  void Start(const std::string& file = "", bool askBeforeClosing = false) {
    LVWindowTestHooks hooks;
    hooks.closeWithoutAsking = !askBeforeClosing;
    LVSetWindowTestHooks(hooks);
    ASSERT_TRUE(LVStartWindow(file, false));
    backend = LVWindowBackend();
    Settle();
  }

  ScratchDir dir;
  PQtBackend* backend = nullptr;
  std::filesystem::path previous_;
};

TEST_F(Window, StartsAtTheStoredRectangleAndStoresItAtShutDown) {
  WriteFile(dir.File("Lumivane.idb"),
            "# Quorvel: Internal Data-Base File\n\n\n\nWindow_StartX = 20;\nWindow_StartY = 30;\n"
            "Window_EndX = 10;\nWindow_EndY = 629;\n# Quorvel: End of Internal Data-Base File\n");
  Start("", true);
  int left, top, right, bottom;
  backend->WindowRectangle(left, top, right, bottom);
  EXPECT_EQ(right - left + 1, 101);  // an EndX of 10 gives StartX + 100
  EXPECT_EQ(bottom - top + 1, 600);
  EXPECT_TRUE(LVInitialised());
  EXPECT_EQ(backend->MenuItemText(700), "Main Data Store");
  EXPECT_EQ(backend->WindowTitle().rfind("Lumivane V1.17.00", 0), 0u);

  // Closing and answering NO keeps the program running; YES closes it.
  WhenModal([](QWidget* box) { Click(box, "No"); });
  backend->MainWidget()->close();
  Settle();
  EXPECT_TRUE(backend->MainWidget()->isVisible());
  WhenModal([](QWidget* box) { Click(box, "Yes"); });
  backend->MainWidget()->close();
  Settle();
  EXPECT_FALSE(backend->MainWidget()->isVisible());
  LVStopWindow();
  const std::string db = ReadFile(dir.File("Lumivane.idb"));
  EXPECT_NE(db.find("Window_EndX = "), std::string::npos);
  EXPECT_NE(db.find("Info_Window_StartY = "), std::string::npos);
  EXPECT_EQ(ReadFile(dir.File("lumivane.log")).rfind("Quorvel: Log File: lumivane.log", 0), 0u);
}

TEST_F(Window, MenusFollowTheKindOfDataAndUnbuiltItemsStayGrey) {
  Start();
  EXPECT_FALSE(backend->MenuItemEnabled(501));  // no data: ROI items grey
  EXPECT_TRUE(backend->MenuItemEnabled(100));   // Open is always there
  for (int id : LVUnavailableMenuIds()) EXPECT_FALSE(backend->MenuItemEnabled(id)) << id;

  DataSet& main = LVStores().Main();
  int status = kStatusGood;
  IAllocateData(100, 1, main, status);
  main.numX = 100;
  main.numY = 1;
  main.endX = 99;
  main.dataDefined = kTrue;
  CommandEvent event;
  LVCommand("Set_Main_Dataset", event, status);
  EXPECT_TRUE(backend->MenuItemEnabled(501));
  EXPECT_FALSE(backend->MenuItemEnabled(311));

  IAllocateData(10, 10, main, status);
  main.numX = main.numY = 10;
  main.endX = main.endY = 9;
  IAllocateMask(main, status);
  main.maskDefined = kTrue;
  main.maskInUse = kTrue;
  LVCommand("Set_Main_Dataset", event, status);
  EXPECT_TRUE(backend->MenuItemEnabled(311));
  EXPECT_FALSE(backend->MenuItemChecked(311));
  backend->CloseMainWindow();
  LVStopWindow();
}

TEST_F(Window, AcceleratorsReachTheirMenuIds) {
  Start();
  backend->MainWidget()->activateWindow();
  QTest::keyClick(backend->MainWidget(), Qt::Key_F6);
  Settle();
  EXPECT_EQ(GDisplay().colourTable, 706);
  EXPECT_TRUE(backend->MenuItemChecked(185));
  std::string stored;
  int status = kStatusGood;
  IGetDBItem("Colour_Table", stored, status);
  EXPECT_EQ(stored, "706");
  backend->CloseMainWindow();
  LVStopWindow();
}

TEST_F(Window, DialogsTakeTheirAnswersAndARealDialogKeepsBadText) {
  Start();
  WhenModal([](QWidget* dialog) {
    dialog->findChild<QLineEdit*>()->setText("CeO2 calibration");
    Click(dialog, "OK");
  });
  LVMenuCommand(690);
  EXPECT_EQ(LVStores().Main().title, "CeO2 calibration");

  bool stayedOpen = false;
  WhenModal([&stayedOpen](QWidget* dialog) {
    EXPECT_EQ(dialog->windowTitle().toStdString(), "REAL  VALUE   INPUT");
    dialog->findChild<QLineEdit*>()->setText("letters");
    Click(dialog, "OK");
    stayedOpen = dialog->isVisible();
    dialog->findChild<QLineEdit*>()->setText("0.5");
    Click(dialog, "OK");
  });
  LVMenuCommand(123);
  EXPECT_TRUE(stayedOpen);
  float minimum = 0.0f;
  int status = kStatusGood;
  IGetDBRealItem("Log_Minimum", minimum, status);
  EXPECT_FLOAT_EQ(minimum, 0.5f);

  // Cancel leaves the title.
  WhenModal([](QWidget* dialog) { Click(dialog, "CANCEL"); });
  LVMenuCommand(690);
  EXPECT_EQ(LVStores().Main().title, "CeO2 calibration");
  backend->CloseMainWindow();
  LVStopWindow();
}

TEST_F(Window, ShowsTheRealPilatusImage) {
  const auto data = SharedData();
  if (data.empty()) GTEST_SKIP() << "no shared data";
  Start((data / "CeO2_Pilatus1M.tif").string());
  backend->MainWidget()->resize(1100, 1200);
  Settle();
  QTest::qWait(200);
  Settle();
  EXPECT_EQ(LVStores().Main().numX, 981);
  EXPECT_NE(backend->WindowTitle().find("Intensity Range"), std::string::npos);
  if (const char* keep = std::getenv("LV_KEEP_PICTURES")) {
    backend->GrabWindow(std::string(keep) + "/window-pilatus.png");
  }
  backend->CloseMainWindow();
  LVStopWindow();
}

}  // namespace

namespace {

TEST_F(Window, ASecondStartHandsItsFileOverAndLeavesTheLogAlone) {
  std::string adsc = "{\nHEADER_BYTES=  512;\nTYPE=unsigned_short;\nSIZE1=3;\nSIZE2=2;\n}\n";
  adsc.resize(512, ' ');
  adsc += std::string(12, '\1');
  WriteFile(dir.File("second.img"), adsc);
  LVWindowTestHooks hooks;
  hooks.closeWithoutAsking = true;
  LVSetWindowTestHooks(hooks);
  ASSERT_TRUE(LVStartWindow("", true));
  backend = LVWindowBackend();
  Settle();
  const std::string logBefore = ReadFile(dir.File("lumivane.log"));
  ASSERT_FALSE(logBefore.empty());

  // The second start runs in its own process, in the same directory.
  // (timeout: should the hand-over fail, the second program must not linger.)
  const std::string command = "QT_QPA_PLATFORM=offscreen timeout 20 '" LV_PROGRAM "' '" +
                              dir.File("second.img") + "' > second.txt 2>&1 &";
  ASSERT_EQ(std::system(command.c_str()), 0);
  for (int i = 0; i < 100 && LVStores().Main().numX != 3; ++i) QTest::qWait(50);
  EXPECT_EQ(LVStores().Main().numX, 3);
  const std::string logAfter = ReadFile(dir.File("lumivane.log"));
  EXPECT_EQ(logAfter.rfind(logBefore, 0), 0u);  // still the running program's log, grown
  EXPECT_EQ(logAfter.find('\0'), std::string::npos);
  backend->CloseMainWindow();
  LVStopWindow();
}

}  // namespace
