#include "platform/Headless.h"

#include <cctype>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <vector>

#include <QImage>
#include <QPrinter>

#include "platform/PPrint.h"

namespace {

std::unique_ptr<PBackend>& Installed() {
  static std::unique_ptr<PBackend> backend = std::make_unique<PHeadlessBackend>();
  return backend;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace

PBackend& PCurrentBackend() { return *Installed(); }

void PInstallBackend(std::unique_ptr<PBackend> backend) {
  if (backend) Installed() = std::move(backend);
}

PHeadlessBackend::PHeadlessBackend() = default;
PHeadlessBackend::~PHeadlessBackend() = default;

PCanvas* PHeadlessBackend::Canvas() {
  if (!hasWindow_) return nullptr;
  if (!canvas_) {
    PEnsureApplication();
    image_ = std::make_unique<QImage>(clientWidth_, clientHeight_, QImage::Format_RGB32);
    image_->fill(Qt::white);
    canvas_ = std::make_unique<PCanvas>(image_.get());
  }
  return canvas_.get();
}

void PHeadlessBackend::ClientSize(int& width, int& height) const {
  width = hasWindow_ ? clientWidth_ : 0;
  height = hasWindow_ ? clientHeight_ : 0;
}

void PHeadlessBackend::SetClientSize(int width, int height) {
  clientWidth_ = width > 0 ? width : 1;
  clientHeight_ = height > 0 ? height : 1;
  canvas_.reset();
  image_.reset();
}

bool PHeadlessBackend::SaveCanvas(const std::string& path) {
  return image_ && image_->save(QString::fromStdString(path));
}

void PHeadlessBackend::SetScrollbar(bool horizontal, int minimum, int maximum, int position,
                                    int page) {
  scroll_[horizontal ? 0 : 1] = {minimum, maximum, position, page};
}

void PHeadlessBackend::GetScrollbar(bool horizontal, int& minimum, int& maximum, int& position,
                                    int& page) const {
  const Scrollbar& bar = scroll_[horizontal ? 0 : 1];
  minimum = bar.minimum;
  maximum = bar.maximum;
  position = bar.position;
  page = bar.page;
}

void PHeadlessBackend::Note(const std::string& line) {
  if (transcript_) transcript_("SCRIPT: " + line);
}

void PHeadlessBackend::Misfit(const std::string& line) {
  Note(line);
  ++misfits_;
}

bool PHeadlessBackend::TakeAnswer(const std::string& what, std::string& answer) {
  if (answers_.empty()) {
    Note(what + ": no answer queued, cancelled");
    ++cancels_;
    return false;
  }
  answer = answers_.front();
  answers_.pop_front();
  return true;
}

void PHeadlessBackend::InfoLine(const std::string& line) {
  if (echo_) std::printf("%s\n", line.c_str());
}

PResult PHeadlessBackend::MessageBox(const std::string& text, const std::string& caption,
                                     PIcon icon, PButtons buttons, PResult defaultButton,
                                     bool echoedInLog) {
  if (buttons == PButtons::kOk) {
    if (icon == PIcon::kWarning || icon == PIcon::kError) ++alarms_;
    if (!echoedInLog) Note("box " + Quoted(caption) + ": " + text);
    return PResult::kOk;
  }
  const std::string what = "question " + Quoted(text);
  std::string answer;
  if (!TakeAnswer(what, answer)) return PResult::kCancel;
  const std::string word = Lower(answer);
  PResult result = PResult::kCancel;
  if (word == "yes") {
    result = PResult::kYes;
  } else if (word == "no") {
    result = PResult::kNo;
  } else if (word == "cancel" && buttons == PButtons::kYesNoCancel) {
    result = PResult::kCancel;
    ++cancels_;
  } else if (word == "default") {
    result = defaultButton;
  } else {
    Misfit(what + ": answer " + Quoted(answer) + " does not fit, cancelled");
    return PResult::kCancel;
  }
  Note(what + ": " + word);
  return result;
}

int PHeadlessBackend::PopupMenu(const PPopupMenu& menu, int, int) {
  const std::string what = "pop-up " + Quoted(menu.title);
  std::string answer;
  if (!TakeAnswer(what, answer)) return 0;
  if (Lower(answer) == "cancel") {
    Note(what + ": cancel");
    ++cancels_;
    return 0;
  }
  // "store N" picks the N-th entry (0-based, as store indices are).
  char word[16] = {0};
  int index = -1;
  char extra = 0;
  if (std::sscanf(answer.c_str(), "%15s %d %c", word, &index, &extra) != 2 ||
      Lower(word) != "store" || index < 0 || index >= static_cast<int>(menu.entries.size())) {
    Misfit(what + ": answer " + Quoted(answer) + " does not fit, cancelled");
    return 0;
  }
  const PMenuEntry& entry = menu.entries[static_cast<std::size_t>(index)];
  if (!entry.enabled) {
    Misfit(what + ": " + Quoted(entry.label) + " is greyed, cancelled");
    return 0;
  }
  Note(what + ": " + Quoted(entry.label));
  return entry.id;
}

bool PHeadlessBackend::ChooseFile(const PFileRequest& request, std::string& path) {
  const std::string what = "file dialog " + Quoted(request.title);
  std::string answer;
  if (!TakeAnswer(what, answer)) return false;
  if (Lower(answer) == "cancel") {
    Note(what + ": cancel");
    ++cancels_;
    return false;
  }
  Note(what + ": " + answer);
  if (!request.multiple) {
    path = answer;
    return true;
  }
  // Several files are one answer, separated by semicolons.
  std::vector<std::string> paths;
  std::size_t from = 0;
  while (from <= answer.size()) {
    const std::size_t end = std::min(answer.find(';', from), answer.size());
    if (end > from) paths.push_back(answer.substr(from, end - from));
    from = end + 1;
  }
  path = PFileListAnswer(paths);
  return !paths.empty();
}

std::string PFileListAnswer(const std::vector<std::string>& paths) {
  if (paths.size() == 1) return paths.front();
  std::string directory;
  std::string list;
  for (const std::string& full : paths) {
    const std::size_t slash = full.find_last_of('/');
    if (directory.empty() && slash != std::string::npos) directory = full.substr(0, slash);
    list += (slash == std::string::npos ? full : full.substr(slash + 1));
    list.push_back('\0');
  }
  std::string answer = directory;
  answer.push_back('\0');
  answer += list;
  answer.push_back('\0');
  return answer;
}

bool PHeadlessBackend::ValueDialog(const PValueRequest& request, std::string& answer) {
  const std::string what = "dialog " + Quoted(request.prompt);
  std::string text;
  if (!TakeAnswer(what, text)) return false;
  if (Lower(text) == "cancel") {
    Note(what + ": cancel");
    ++cancels_;
    return false;
  }
  if (Lower(text) == "default") text = request.defaultText;
  answer = text;
  Note(what + ": " + text);
  return true;
}

void PHeadlessBackend::SetMenuRadio(int first, int last, int checkedId) {
  for (int id = first; id <= last; ++id) menu_[id].checked = (id == checkedId);
}

bool PHeadlessBackend::MenuItemEnabled(int id) const {
  auto it = menu_.find(id);
  return it == menu_.end() || it->second.enabled;
}

bool PHeadlessBackend::MenuItemChecked(int id) const {
  auto it = menu_.find(id);
  return it != menu_.end() && it->second.checked;
}

std::string PHeadlessBackend::MenuItemText(int id) const {
  auto it = menu_.find(id);
  return it == menu_.end() ? std::string() : it->second.text;
}

PCanvas* PHeadlessBackend::BeginPrint(PPrintPage& page) {
  std::string path;
  if (!TakeAnswer("print dialog", path)) return nullptr;
  if (Lower(path) == "cancel") {
    Note("print dialog: cancel");
    ++cancels_;
    return nullptr;
  }
  PEnsureApplication();
  Note("print dialog: " + path);
  printJob_ = std::make_unique<PPageJob>(PPdfPrinter(path));
  page = printJob_->Page();
  return printJob_->Canvas();
}

bool PHeadlessBackend::EndPrint() {
  if (!printJob_) return false;
  const bool done = printJob_->Finish();
  printJob_.reset();
  return done;
}

bool PHeadlessBackend::ClickInput(PClickDialog& dialog, const PClickHandler& handler) {
  if (!hasWindow_) return false;
  const std::string what = "click input " + Quoted(dialog.title);
  auto press = [&](const std::string& word) -> int {
    for (const PClickButton& button : dialog.buttons)
      if (Lower(button.word) == word) return button.id;
    return 0;
  };
  for (;;) {
    std::string answer;
    PClickEvent event;
    if (!TakeAnswer(what, answer)) {
      // Nobody will answer: the input ends as if cancelled, whatever the handler says.
      event.kind = PClickKind::kButton;
      event.id = press("cancel");
      if (event.id != 0) handler(event);
      return true;
    }
    char word[16] = {0};
    float x = 0.0f, y = 0.0f;
    char extra = 0;
    const int read = std::sscanf(answer.c_str(), "%15s %f %f %c", word, &x, &y, &extra);
    const std::string lower = Lower(word);
    if (read == 3 && (lower == "click" || lower == "right")) {
      event.kind = PClickKind::kPress;
      event.right = lower == "right";
      event.dataGiven = true;
      event.dataX = x;
      event.dataY = y;
    } else if (read == 1 && press(lower) != 0) {
      event.kind = PClickKind::kButton;
      event.id = press(lower);
      if (lower == "cancel") ++cancels_;
    } else {
      Misfit(what + ": answer " + Quoted(answer) + " does not fit, cancelled");
      event.kind = PClickKind::kButton;
      event.id = press("cancel");
      if (event.id != 0) handler(event);
      return true;
    }
    Note(what + ": " + answer);
    if (!handler(event)) return true;
  }
}
