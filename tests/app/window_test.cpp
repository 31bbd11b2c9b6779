// The real main window, offscreen: start-up and shut-down, menus, accelerators, dialogs.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QImage>
#include <QGuiApplication>
#include <QScreen>
#include <QMenuBar>
#include <QMainWindow>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <csignal>
#include <thread>
#include <unistd.h>

#include "app/LVCommand.h"
#include "app/LVMenus.h"
#include "app/LVWindowMain.h"
#include "core/database.h"
#include "core/status.h"
#include "graphics/GDisplaySettings.h"
#include "graphics/GDisplaySize.h"
#include "graphics/GGraphics.h"
#include "graphics/GImage.h"
#include "ui/WDialogs.h"
#include "platform/QtBackend.h"
#include "ui/WWindow.h"
#include "tests/support/TestSupport.h"
#include "ui/WInfo.h"

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

// A first start (nothing stored) takes most of the screen, widened to the whole menu bar as
// far as the screen allows (frame included): the last menus (Help among them) were hidden
// behind a button.
TEST_F(Window, TheFirstStartShowsEveryMenu) {
  Start();
  QMainWindow* window = qobject_cast<QMainWindow*>(backend->MainWidget());
  ASSERT_NE(window, nullptr);
  QMenuBar* bar = window->menuBar();
  const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
  const int screen = available.width();
  EXPECT_GE(window->frameGeometry().width(), std::min(bar->sizeHint().width(), screen));
  EXPECT_GE(window->height(), available.height() * 8 / 10);
  EXPECT_TRUE(available.contains(window->frameGeometry()));
  if (bar->sizeHint().width() <= screen) {
    const QList<QAction*> menus = bar->actions();
    ASSERT_FALSE(menus.isEmpty());
    EXPECT_EQ(menus.back()->text().remove('&'), "Help");
    EXPECT_LE(bar->actionGeometry(menus.back()).right(), bar->width());
  }
  // The information window spans the bottom of the widened client area.
  Settle();
  EXPECT_TRUE(WInfoWindowDocked());
  backend->CloseMainWindow();
  LVStopWindow();
}

// Where a window goes on the screens it finds.
TEST(WindowPlacement, OnAScreenWithinItsEdgesAndWideEnoughForTheMenus) {
  const QRect primary(0, 0, 1920, 1050), second(1920, 0, 1280, 1000);
  // As asked, when it lies on a screen.
  EXPECT_EQ(PFitWindowRectangle(QRect(20, 30, 800, 600), {primary, second}, 1100, false),
            QRect(20, 30, 800, 600));
  // Widened for the menus on a first start.
  EXPECT_EQ(PFitWindowRectangle(QRect(0, 0, 800, 600), {primary}, 1100, true),
            QRect(0, 0, 1100, 600));
  // On the second screen it overlaps most, kept inside it.
  EXPECT_EQ(PFitWindowRectangle(QRect(2900, 100, 800, 600), {primary, second}, 0, false),
            QRect(2400, 100, 800, 600));
  // Left on a display since unplugged: the primary screen's corner.
  EXPECT_EQ(PFitWindowRectangle(QRect(4000, 200, 800, 600), {primary}, 0, false),
            QRect(0, 0, 800, 600));
  // Larger than the screen: cut to it (a laptop after a large monitor).
  EXPECT_EQ(PFitWindowRectangle(QRect(0, 0, 2500, 1400), {QRect(0, 0, 1366, 740)}, 0, false),
            QRect(0, 0, 1366, 740));
  // No screen known: as asked.
  EXPECT_EQ(PFitWindowRectangle(QRect(5, 5, 300, 200), {}, 0, false), QRect(5, 5, 300, 200));
  // A first start takes most of the screen it opens on, with room for the frame's title bar
  // above it and the frame's edges round it.
  for (const QRect& screen : {QRect(0, 0, 1600, 1000), QRect(0, 0, 1366, 740),
                              QRect(1920, 30, 1280, 970)}) {
    const QRect first = PFirstWindowRectangle(screen);
    EXPECT_GE(first.width(), screen.width() * 85 / 100);
    EXPECT_GE(first.height(), screen.height() * 8 / 10);
    EXPECT_GE(first.top() - screen.top(), 35);
    EXPECT_GE(screen.bottom() - first.bottom(), 35);
    EXPECT_TRUE(screen.contains(first));
  }
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

// The numeric pad with Num Lock on and off: a digit or a movement key with the keypad modifier.
// Pad 1 lowers the display minimum, pad 3 raises it.
TEST_F(Window, KeypadKeysReachTheirMenuIds) {
  Start();
  const struct {
    Qt::Key key;
    int direction;
  } presses[] = {{Qt::Key_1, -1}, {Qt::Key_End, -1}, {Qt::Key_3, 1}, {Qt::Key_PageDown, 1}};
  for (const auto& press : presses) {
    int status = kStatusGood, method = 0;
    float minimum = 0.0f, maximum = 0.0f;
    GSetIntensityScaling(kRangeFixed, 10.0f, 20.0f, status);
    QTest::keyClick(backend->MainWidget(), press.key, Qt::KeypadModifier);
    Settle();
    GGetIntensityScaling(method, minimum, maximum, status);
    EXPECT_EQ(minimum < 10.0f ? -1 : minimum > 10.0f ? 1 : 0, press.direction) << press.key;
  }
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

// A number outside its prompt's range is said in a box and asked again, not clamped or
// refused at the end of a chain of dialogs.
TEST_F(Window, ANumberOutsideItsRangeIsSaidAndAskedAgain) {
  Start();
  std::string said;
  WhenModal([&said](QWidget* dialog) {
    WhenModal([&said](QWidget* box) {
      if (auto* message = qobject_cast<QMessageBox*>(box)) said = message->text().toStdString();
      WhenModal([](QWidget* again) {
        again->findChild<QLineEdit*>()->setText("45");
        Click(again, "OK");
      });
      Click(box, "OK");
    });
    dialog->findChild<QLineEdit*>()->setText("200");
    Click(dialog, "OK");
  });
  float azimuth = 0.0f;
  int status = kStatusGood;
  EXPECT_TRUE(WGetReal({"ENTER START AZIMUTH OF SECTOR (DEGREES, -180 TO 180):", kTrue, kTrue,
                        -180.0f, 180.0f, azimuth, status}));
  EXPECT_FLOAT_EQ(azimuth, 45.0f);
  EXPECT_NE(said.find("200 is outside the range of this value: enter a number from -180 to 180"),
            std::string::npos)
      << said;
  backend->CloseMainWindow();
  LVStopWindow();
}

// Text a number field cannot take is answered with what it does take, not with silence; a
// good number then goes through.
TEST_F(Window, NumberFieldsSayWhatTheyTake) {
  Start();
  enum Kind { kReal, kRangedReal, kInteger };
  struct Row {
    Kind kind;
    const char* typed;  // typed over the whole field ("" empties it)
    const char* said;
  };
  const Row rows[] = {{kReal, "letters", "Enter a number"},
                      {kReal, "", "Enter a number"},
                      {kRangedReal, "north", "Enter a number from -180 to 180"},
                      {kInteger, "abc", "Enter a number from 1 to 10"},
                      {kInteger, "", "Enter a number from 1 to 10"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.kind) + " " + row.typed);
    bool silentBefore = false, saidAfter = false;
    std::string said;
    WhenModal([&](QWidget* dialog) {
      auto* expected = dialog->findChild<QLabel*>("expected");
      auto* field = dialog->findChild<QLineEdit*>();
      if (!expected || !field) {
        ADD_FAILURE() << "no field or no line for what it takes";
        Click(dialog, "CANCEL");
        return;
      }
      silentBefore = !expected->isVisible();
      field->selectAll();
      QTest::keyClick(field, Qt::Key_Backspace);
      QTest::keyClicks(field, row.typed);
      Click(dialog, "OK");
      saidAfter = dialog->isVisible() && expected->isVisible();
      said = expected->text().toStdString();
      field->selectAll();
      QTest::keyClicks(field, "7");
      Click(dialog, "OK");
    });
    int status = kStatusGood;
    if (row.kind == kInteger) {
      int value = 5;
      EXPECT_TRUE(WGetInteger({"ENTER NUMBER OF IMAGES PER LINE:", kTrue, kTrue, 1, 10, value,
                               status}));
      EXPECT_EQ(value, 7);
    } else {
      float value = 0.5f;
      const bool ranged = row.kind == kRangedReal;
      EXPECT_TRUE(WGetReal({"ENTER START AZIMUTH OF SECTOR (DEGREES, -180 TO 180):", kTrue,
                            ranged ? kTrue : kFalse, -180.0f, 180.0f, value, status}));
      EXPECT_FLOAT_EQ(value, 7.0f);
    }
    EXPECT_TRUE(silentBefore);
    EXPECT_TRUE(saidAfter);
    EXPECT_EQ(said, row.said);
  }
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
  // Hot pixels make the full range's picture nearly black; the percentile range shows the
  // rings (the item is checked, the full range's not).
  auto litPixels = [&] {
    int lit = 0;
    // Inside the image, which the window shows reduced in its top left corner.
    for (int y = 40; y < 330; y += 3)
      for (int x = 15; x < 300; x += 3) {
        const PColour c = backend->Canvas()->Pixel(x, y);
        // The module gaps are masked on opening and drawn in the mask colour, not data.
        const bool masked = c.red == 255 && c.green == 60 && c.blue == 200;
        lit += !masked && (c.red + c.green + c.blue) > 120;
      }
    return lit;
  };
  // A first start has no stored choice: the first picture is the percentile range's.
  const int firstPicture = litPixels();
  EXPECT_TRUE(backend->MenuItemChecked(160));
  LVMenuCommand(150);
  Settle();
  const int fullRange = litPixels();
  EXPECT_GT(firstPicture, 10 * std::max(fullRange, 10)) << fullRange;
  LVMenuCommand(160);
  Settle();
  const int percentiles = litPixels();
  if (const char* keep = std::getenv("LV_KEEP_PICTURES")) {
    backend->GrabWindow(std::string(keep) + "/window-pilatus-percentiles.png");
  }
  EXPECT_TRUE(backend->MenuItemChecked(160));
  EXPECT_FALSE(backend->MenuItemChecked(150));
  EXPECT_GT(percentiles, 10 * std::max(fullRange, 10)) << fullRange;
  int method = 0;
  int status = kStatusGood;
  IGetDBIntItem("Intensity_Range_Method", method, status);
  EXPECT_EQ(method, 240);
  LVMenuCommand(150);
  Settle();
  EXPECT_FALSE(backend->MenuItemChecked(160));
  backend->CloseMainWindow();
  LVStopWindow();
}

}  // namespace

// Sets an environment variable for one scope (unset when value is null).
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) {
      had_ = true;
      old_ = old;
    }
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnvironment() {
    if (had_) {
      setenv(name_.c_str(), old_.c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }

 private:
  std::string name_, old_;
  bool had_ = false;
};

// Tests that listen for second starts run side by side: each takes a display of its own, so
// their sockets never meet (the second starts they run inherit it).
std::string OwnDisplay(const std::string& suffix = "") {
  return ":" + std::to_string(getpid()) + suffix;
}

namespace {

TEST_F(Window, ASecondStartHandsItsFileOverAndLeavesTheLogAlone) {
  std::string adsc = "{\nHEADER_BYTES=  512;\nTYPE=unsigned_short;\nSIZE1=3;\nSIZE2=2;\n}\n";
  adsc.resize(512, ' ');
  adsc += std::string(12, '\1');
  WriteFile(dir.File("second.img"), adsc);
  ScopedEnvironment display("DISPLAY", OwnDisplay().c_str());
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

namespace {

// A 3 x 2 ADSC image of unsigned shorts 0, 100, 200, 300, 400, 500.
void WriteSmallImage(const std::string& path) {
  std::string adsc = "{\nHEADER_BYTES=  512;\nTYPE=unsigned_short;\nSIZE1=3;\nSIZE2=2;\n}\n";
  adsc.resize(512, ' ');
  for (int i = 0; i < 6; ++i) {
    const int value = 100 * i;
    adsc += static_cast<char>(value & 0xff);
    adsc += static_cast<char>(value >> 8);
  }
  WriteFile(path, adsc);
}

// Answers every modal box or dialog that appears with the button, counting them.
class Answerer {
 public:
  explicit Answerer(const QString& button) {
    timer_.setInterval(30);
    QObject::connect(&timer_, &QTimer::timeout, [this, button] {
      QWidget* modal = QApplication::activeModalWidget();
      if (!modal || !modal->isVisible()) return;
      ++count;
      Click(modal, button);
    });
    timer_.start();
  }
  int count = 0;

 private:
  QTimer timer_;
};

TEST_F(Window, OpeningAFileFromTheMenuRedrawsTheWindowAndItsTitle) {
  WriteSmallImage(dir.File("small.img"));
  Start();
  QTest::qWait(50);
  Settle();
  const std::string titleBefore = backend->WindowTitle();
  EXPECT_EQ(titleBefore.find("Intensity Range"), std::string::npos);
  const PColour before = backend->Canvas()->Pixel(10, 10);
  WhenModal([this](QWidget* modal) {
    auto* dialog = qobject_cast<QFileDialog*>(modal);
    if (!dialog) {
      ADD_FAILURE() << "not the file dialog: " << modal->metaObject()->className() << " "
                    << modal->windowTitle().toStdString();
      static_cast<QDialog*>(modal)->reject();
      return;
    }
    // The name typed in full, as a user would: the dialog's own listing may still be loading.
    auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(name, nullptr);
    name->setText(QString::fromStdString(dir.File("small.img")));
    static_cast<QDialog*>(dialog)->accept();  // QFileDialog::accept, as the Open button
  }, 400);
  LVMenuCommand(100);
  EXPECT_EQ(LVStores().Main().numX, 3);
  // The new picture and its title are there without any further event.
  EXPECT_NE(backend->WindowTitle().find("Intensity Range"), std::string::npos)
      << backend->WindowTitle();
  const PColour after = backend->Canvas()->Pixel(10, 10);
  EXPECT_FALSE(before.red == after.red && before.green == after.green && before.blue == after.blue);
  backend->CloseMainWindow();
  LVStopWindow();
}

TEST_F(Window, ExitFromTheMenuAsksOnce) {
  Start("", true);
  {
    Answerer yes("Yes");
    LVMenuCommand(119);
    for (int i = 0; i < 10; ++i) QTest::qWait(30);
    EXPECT_EQ(yes.count, 1);
  }
  EXPECT_FALSE(backend->MainWidget()->isVisible());
  LVStopWindow();
  // The window's rectangle is kept on this path too.
  EXPECT_NE(ReadFile(dir.File("Lumivane.idb")).find("Window_EndX = "), std::string::npos);

  // NO keeps the program running, and the window's own close still asks.
  ResetCoreState();
  LVResetInterpreter();
  Start("", true);
  {
    Answerer no("No");
    LVMenuCommand(119);
    EXPECT_TRUE(backend->MainWidget()->isVisible());
    backend->MainWidget()->close();
    Settle();
    EXPECT_EQ(no.count, 2);
  }
  EXPECT_TRUE(backend->MainWidget()->isVisible());
  LVStopWindow();
}


TEST(SingleInstance, TheSocketIsOnePerUserAndDisplayAndFilesGoOverAbsolute) {
  std::string first, second;
  {
    ScopedEnvironment wayland("WAYLAND_DISPLAY", nullptr);
    ScopedEnvironment display("DISPLAY", ":5.0");
    first = LVInstanceName();
    EXPECT_NE(first.find(std::to_string(getuid())), std::string::npos);
    setenv("DISPLAY", ":5", 1);
    EXPECT_EQ(LVInstanceName(), first);  // the screen number is no other display
    setenv("DISPLAY", ":6", 1);
    second = LVInstanceName();
    EXPECT_NE(second, first);
    setenv("DISPLAY", "host/unix:6", 1);
    EXPECT_EQ(LVInstanceName().find('/'), std::string::npos);
    setenv("WAYLAND_DISPLAY", "wayland-1", 1);
    setenv("DISPLAY", ":6", 1);
    EXPECT_NE(LVInstanceName(), second);
  }
  const std::string here = std::filesystem::current_path().string();
  EXPECT_EQ(LVAbsoluteFileArgument("data/x.tif"), here + "/data/x.tif");
  EXPECT_EQ(LVAbsoluteFileArgument("\"a b.tif\""), here + "/a b.tif");
  EXPECT_EQ(LVAbsoluteFileArgument("/abs/y.cbf"), "/abs/y.cbf");
  EXPECT_EQ(LVAbsoluteFileArgument(""), "");
}

TEST_F(Window, AStartOnAnotherDisplayIsNotHandedToThisWindow) {
  WriteSmallImage(dir.File("small.img"));
  ScopedEnvironment display("DISPLAY", OwnDisplay("-a").c_str());
  LVWindowTestHooks hooks;
  hooks.closeWithoutAsking = true;
  LVSetWindowTestHooks(hooks);
  ASSERT_TRUE(LVStartWindow("", true));
  backend = LVWindowBackend();
  Settle();
  {
    ScopedEnvironment other("DISPLAY", OwnDisplay("-b").c_str());
    EXPECT_FALSE(PQtBackend::HandToRunningInstance(LVInstanceName(), dir.File("small.img")));
  }
  EXPECT_TRUE(PQtBackend::HandToRunningInstance(LVInstanceName(), dir.File("small.img")));
  for (int i = 0; i < 60 && LVStores().Main().numX != 3; ++i) QTest::qWait(50);
  EXPECT_EQ(LVStores().Main().numX, 3);
  backend->CloseMainWindow();
  LVStopWindow();
}

// The single-instance socket lies in a folder of the user's alone (never under a name anyone
// could bind first in the shared temporary folder), and goes when the program ends, a
// SIGTERM included.
TEST_F(Window, TheInstanceSocketIsPrivateAndGoesOnEveryExit) {
  namespace fs = std::filesystem;
  const std::string uid = std::to_string(getuid());
  fs::create_directory(dir.File("runtime"));
  fs::create_directory(dir.File("open"));
  fs::create_directory(dir.File("tmp"));
  chmod(dir.File("runtime").c_str(), 0700);
  chmod(dir.File("open").c_str(), 0755);
  ScopedEnvironment tmp("TMPDIR", dir.File("tmp").c_str());
  ScopedEnvironment display("DISPLAY", OwnDisplay("-p").c_str());
  const std::string name = LVInstanceName();
  const struct {
    const char* runtime;  // XDG_RUNTIME_DIR
    std::function<void()> prepare;
    std::string folder;  // empty: no private folder, no single instance
  } rows[] = {
      {"runtime", [] {}, dir.File("runtime")},
      {"open", [] {}, dir.File("tmp/lumivane-" + uid)},
      {nullptr, [] {}, dir.File("tmp/lumivane-" + uid)},
      {"open", [&] { chmod(dir.File("tmp/lumivane-" + uid).c_str(), 0777); }, ""},
      {"open",
       [&] {
         fs::remove(dir.File("tmp/lumivane-" + uid));
         fs::create_directory_symlink(dir.File("runtime"), dir.File("tmp/lumivane-" + uid));
       },
       ""},
  };
  for (const auto& row : rows) {
    ScopedEnvironment runtime("XDG_RUNTIME_DIR",
                              row.runtime ? dir.File(row.runtime).c_str() : nullptr);
    row.prepare();
    const std::string path = PQtBackend::InstanceSocketPath(name);
    EXPECT_EQ(path, row.folder.empty() ? "" : row.folder + "/" + name) << row.folder;
    if (!row.folder.empty()) {
      struct stat info {};
      ASSERT_EQ(lstat(row.folder.c_str(), &info), 0);
      EXPECT_EQ(info.st_mode & 0777, 0700u);
    }
  }

  ScopedEnvironment runtime("XDG_RUNTIME_DIR", dir.File("runtime").c_str());
  const std::string socketPath = dir.File("runtime") + "/" + name;
  LVWindowTestHooks hooks;
  hooks.closeWithoutAsking = true;
  LVSetWindowTestHooks(hooks);
  ASSERT_TRUE(LVStartWindow("", true));
  backend = LVWindowBackend();
  Settle();
  struct stat info {};
  ASSERT_EQ(lstat(socketPath.c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 077, 0u);
  backend->CloseMainWindow();
  LVStopWindow();
  EXPECT_FALSE(fs::exists(fs::symlink_status(socketPath)));

  // A program ended by SIGTERM takes its socket with it.
  const std::string command = "QT_QPA_PLATFORM=offscreen timeout 30 '" LV_PROGRAM
                              "' > term.txt 2>&1 & echo $! > term.pid; wait $!; echo $? > term.rc";
  std::thread run([command] { std::system(command.c_str()); });
  for (int i = 0; i < 200 && !fs::exists(fs::symlink_status(socketPath)); ++i) QTest::qWait(50);
  EXPECT_TRUE(fs::exists(fs::symlink_status(socketPath)));
  const pid_t pid = static_cast<pid_t>(std::atol(ReadFile(dir.File("term.pid")).c_str()));
  ASSERT_GT(pid, 0);
  kill(pid, SIGTERM);
  run.join();
  EXPECT_EQ(std::atoi(ReadFile(dir.File("term.rc")).c_str()), 128 + SIGTERM);
  EXPECT_FALSE(fs::exists(fs::symlink_status(socketPath)));
}

TEST_F(Window, AHandedOverFileWaitsUntilTheOpenDialogEnds) {
  WriteSmallImage(dir.File("small.img"));
  ScopedEnvironment display("DISPLAY", OwnDisplay().c_str());
  LVWindowTestHooks hooks;
  hooks.closeWithoutAsking = true;
  LVSetWindowTestHooks(hooks);
  ASSERT_TRUE(LVStartWindow("", true));
  backend = LVWindowBackend();
  Settle();
  int columnsWhileOpen = -1;
  std::size_t waiting = 0;
  WhenModal([&](QWidget* dialog) {
    ASSERT_TRUE(PQtBackend::HandToRunningInstance(LVInstanceName(), dir.File("small.img")));
    QTimer::singleShot(600, [&, dialog] {
      columnsWhileOpen = LVStores().Main().numX;
      waiting = backend->HandedFilesWaiting();
      Click(dialog, "CANCEL");
    });
  }, 400);
  LVMenuCommand(690);  // the title's value dialog
  EXPECT_NE(columnsWhileOpen, 3);
  EXPECT_EQ(waiting, 1u);
  for (int i = 0; i < 60 && LVStores().Main().numX != 3; ++i) QTest::qWait(50);
  EXPECT_EQ(LVStores().Main().numX, 3);
  EXPECT_EQ(backend->HandedFilesWaiting(), 0u);
  backend->CloseMainWindow();
  LVStopWindow();
}

TEST_F(Window, ASecondStartInAnotherDirectoryHandsOverItsRelativeName) {
  std::filesystem::create_directory(dir.File("elsewhere"));
  WriteSmallImage(dir.File("elsewhere/small.img"));
  ScopedEnvironment display("DISPLAY", OwnDisplay().c_str());
  LVWindowTestHooks hooks;
  hooks.closeWithoutAsking = true;
  LVSetWindowTestHooks(hooks);
  ASSERT_TRUE(LVStartWindow("", true));
  backend = LVWindowBackend();
  Settle();
  const std::string command = "cd '" + dir.File("elsewhere") +
                              "' && QT_QPA_PLATFORM=offscreen timeout 20 '" LV_PROGRAM
                              "' small.img > second.txt 2>&1 &";
  Answerer ok("OK");  // a name taken from the wrong directory ends in a box
  ASSERT_EQ(std::system(command.c_str()), 0);
  for (int i = 0; i < 100 && LVStores().Main().numX != 3; ++i) QTest::qWait(50);
  EXPECT_EQ(LVStores().Main().numX, 3);
  EXPECT_EQ(ok.count, 0);
  backend->CloseMainWindow();
  LVStopWindow();
}

TEST_F(Window, APictureOfTheWindowShowsTheOpenBoxOverIt) {
  Start();
  const std::string path = dir.File("with-box.png");
  QImage shot;
  QPoint at;
  WhenModal([&](QWidget* box) {
    ASSERT_TRUE(backend->GrabWindow(path));
    shot = box->grab().toImage();
    const QImage window = backend->MainWidget()->grab().toImage();
    at = box->mapToGlobal(QPoint(0, 0)) - backend->MainWidget()->mapToGlobal(QPoint(0, 0));
    at.setX(std::clamp(at.x(), 0, std::max(0, window.width() - shot.width())));
    at.setY(std::clamp(at.y(), 0, std::max(0, window.height() - shot.height())));
    Click(box, "OK");
  }, 400);
  LVMenuCommand(1000);  // the About box
  QImage picture(QString::fromStdString(path));
  ASSERT_FALSE(picture.isNull());
  ASSERT_FALSE(shot.isNull());
  picture = picture.convertToFormat(QImage::Format_RGB32);
  shot = shot.convertToFormat(QImage::Format_RGB32);
  int differing = 0;
  for (int y = 0; y < std::min(shot.height(), picture.height() - at.y()); ++y)
    for (int x = 0; x < std::min(shot.width(), picture.width() - at.x()); ++x)
      differing += picture.pixel(at.x() + x, at.y() + y) != shot.pixel(x, y);
  EXPECT_EQ(differing, 0);
  backend->CloseMainWindow();
  LVStopWindow();
}

TEST_F(Window, AScreenshotRunEndsWhileABoxIsOpen) {
  // The file cannot be read: its box opens during the start-up, before the message loop.
  const std::string command = "QT_QPA_PLATFORM=offscreen timeout 30 '" LV_PROGRAM
                              "' --screenshot shot.png 1500 '" +
                              dir.File("no such file.img") + "' > run.txt 2>&1";
  const int code = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(code));
  EXPECT_EQ(WEXITSTATUS(code), 0) << ReadFile(dir.File("run.txt"));
  const QImage picture(QString::fromStdString(dir.File("shot.png")));
  EXPECT_FALSE(picture.isNull());
  EXPECT_NE(ReadFile(dir.File("lumivane.log")).find("Failed to open file"),
            std::string::npos);
}

}  // namespace

namespace {

TEST_F(Window, ImagesStayAboveTheInformationWindowAsTheWindowChangesSize) {
  Start();
  QTest::qWait(50);
  Settle();
  DataSet& d = LVStores().Main();
  int status = kStatusGood;
  IInitialiseData(d, status);
  ASSERT_TRUE(IAllocateData(300, 1000, d, status));
  for (int y = 0; y < 1000; ++y)
    for (int x = 0; x < 300; ++x) d.data[IIndex(d, x, y)] = static_cast<float>((x + y) % 50);
  d.numX = 300;
  d.numY = 1000;
  d.endX = 299;
  d.endY = 999;
  d.dataDefined = kTrue;
  d.magnification = 1;
  for (const QSize size : {QSize(800, 600), QSize(1000, 1100), QSize(700, 500)}) {
    SCOPED_TRACE(testing::Message() << size.width() << " x " << size.height());
    backend->MainWidget()->resize(size);
    QTest::qWait(50);
    Settle();
    LVAutosetMagnification(d, status);
    LVRedraw(status);
    int clientWidth = 0, clientHeight = 0, left = 0, top = 0, width = 0, height = 0;
    backend->ClientSize(clientWidth, clientHeight);
    IInfoGetPosition(left, top, width, height, status);
    // Docked: across the client area, on its bottom.
    EXPECT_EQ(left, 0);
    EXPECT_EQ(width, clientWidth);
    EXPECT_EQ(top + height, clientHeight);
    // The image's lowest row is drawn above it.
    EXPECT_LT(GPixelToWindowY(d.displayStartY, d), top);
  }
  EXPECT_EQ(status, kStatusGood);
  if (const char* keep = std::getenv("LV_KEEP_PICTURES")) {
    backend->GrabWindow(std::string(keep) + "/window-docked-info.png");
  }
  backend->CloseMainWindow();
  LVStopWindow();
}

}  // namespace
