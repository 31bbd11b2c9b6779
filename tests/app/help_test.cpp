// The Help menu: the quick start (one text, in the program, in docs/ and in the README) and the
// about box, in the real window offscreen.
#include <gtest/gtest.h>

#include <QMessageBox>
#include <QTextBrowser>
#include <regex>
#include <string>

#include "app/LVHelp.h"
#include "app/LVMenus.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WindowFixture.h"

namespace {

const std::string kSource = LV_SOURCE_DIR;

std::string WithoutMnemonic(std::string label) {
  std::string words;
  for (std::size_t i = 0; i < label.size(); ++i) {
    if (label[i] == '&' && i + 1 < label.size()) ++i;
    words.push_back(label[i]);
  }
  return words;
}

// The README's section "A first session" is the quick start, word for word, and the program
// shows the file as it stands.
TEST(QuickStart, TheReadmeAndTheProgramCarryTheDocument) {
  const std::string document = ReadFile(kSource + "/docs/quick-start.md");
  const std::string heading = "# A first session\n";
  ASSERT_EQ(document.rfind(heading, 0), 0u);
  const std::string readme = ReadFile(kSource + "/README.md");
  const std::size_t start = readme.find("\n#" + heading);
  ASSERT_NE(start, std::string::npos) << "README.md has no section \"A first session\"";
  const std::size_t body = start + 2 + heading.size();
  const std::size_t next = readme.find("\n## ", body);
  auto trimmed = [](std::string text) {
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
  };
  EXPECT_EQ(trimmed(readme.substr(body, next == std::string::npos ? next : next - body)),
            trimmed(document.substr(heading.size())))
      << "copy docs/quick-start.md (less its heading) into README.md";
  EXPECT_EQ(LVQuickStartText(), document);
}

// Every menu path the quick start names ("**Menu > Item**") is an item of the menu bar.
TEST(QuickStart, EveryMenuPathIsARealItem) {
  std::string text = LVQuickStartText();
  text = std::regex_replace(text, std::regex("\\s+"), " ");
  const std::regex path("\\*\\*([^*>]+?) > ([^*]+?)\\*\\*");
  int paths = 0;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), path);
       it != std::sregex_iterator(); ++it) {
    const std::string menu = (*it)[1], item = (*it)[2];
    bool found = false;
    for (const LVMenu& m : LVMenuTable()) {
      if (WithoutMnemonic(m.title) != menu) continue;
      for (const LVMenuItem& i : m.items) found = found || WithoutMnemonic(i.label) == item;
    }
    EXPECT_TRUE(found) << menu << " > " << item;
    ++paths;
  }
  EXPECT_GE(paths, 20);  // open, calibrate, mask, integrate, series and help
}

TEST(HelpMenu, QuickStartBesideTheWindowAndAboutWithTheVersion) {
  TestWindow window(900, 700);
  ASSERT_TRUE(window.started);
  PQtBackend* backend = window.backend;
  EXPECT_EQ(backend->MenuItemText(1001), "&Quick Start");
  EXPECT_TRUE(backend->MenuItemEnabled(1001));

  // Modeless: the window stays usable while the page is open; asked again, the one page is
  // brought forward.
  LVMenuCommand(1001);
  TestWindow::Settle();
  QWidget* page = backend->TextWindow();
  ASSERT_NE(page, nullptr);
  EXPECT_TRUE(page->isVisible());
  EXPECT_EQ(page->windowTitle().toStdString(), "Quick Start");
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  const std::string shown = page->findChild<QTextBrowser*>()->toPlainText().toStdString();
  EXPECT_NE(shown.find("File > Open"), std::string::npos);
  EXPECT_EQ(shown.find("**"), std::string::npos);  // the Markdown is rendered
  if (const char* keep = std::getenv("LV_KEEP_PICTURES")) {
    page->grab().save(QString(keep) + "/quick-start.png");
  }
  LVMenuCommand(1001);
  EXPECT_EQ(backend->TextWindow(), page);

  std::string text, caption;
  AnswerNextModal([&](QWidget* box) {
    if (auto* message = qobject_cast<QMessageBox*>(box)) {
      text = message->text().toStdString();
      caption = message->windowTitle().toStdString();
    }
    PressButton(box, "OK");
  });
  LVMenuCommand(1000);
  EXPECT_EQ(caption, "LV / Lumivane information");
  EXPECT_EQ(text, "LV / Lumivane\nLumivane: Free form data analysis\nLumivane V1.17.00");
}

}  // namespace
