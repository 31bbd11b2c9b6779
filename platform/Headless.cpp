#include "platform/Headless.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <algorithm>
#include <chrono>
#include <thread>
#include <cstdlib>
#include <vector>

#include <QBuffer>
#include <QByteArray>
#include <QFile>
#include <QImage>
#include <QTemporaryFile>
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

namespace {
PFileWriter& InstalledWriter() {
  static PFileWriter writer;
  return writer;
}
}  // namespace

void PSetFileWriter(PFileWriter writer) { InstalledWriter() = std::move(writer); }

bool PWriteFile(const std::string& path, const std::string& bytes) {
  return InstalledWriter() && InstalledWriter()(path, bytes);
}

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

bool PHeadlessBackend::CanvasPng(std::string& png) const {
  png.clear();
  if (!image_) return false;
  QByteArray bytes;
  QBuffer buffer(&bytes);
  if (!buffer.open(QIODevice::WriteOnly) || !image_->save(&buffer, "PNG")) return false;
  png.assign(bytes.constData(), static_cast<std::size_t>(bytes.size()));
  return true;
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

bool PHeadlessBackend::TakeAnswer(const std::string& what, const std::string& prompt,
                                  std::string& answer) {
  if (answers_.empty()) {
    Note(what + ": no answer queued, cancelled");
    unanswered_.push_back(prompt);
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
  if (!TakeAnswer(what, text, answer)) return PResult::kCancel;
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
  if (!TakeAnswer(what, menu.title, answer)) return 0;
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
  if (!TakeAnswer(what, request.title, answer)) return false;
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
  // Several files are one answer, separated by semicolons, or a list file ("@LIST[:A-B]").
  std::vector<std::string> paths;
  if (!answer.empty() && answer[0] == '@') {
    std::string reason;
    if (!PReadFileList(answer, paths, reason, request.nameOrder)) {
      Misfit(what + ": " + reason + ", cancelled");
      return false;
    }
    Note(what + ": " + std::to_string(paths.size()) + " file(s) from the list");
  } else {
    std::size_t from = 0;
    while (from <= answer.size()) {
      const std::size_t end = std::min(answer.find(';', from), answer.size());
      if (end > from) paths.push_back(answer.substr(from, end - from));
      from = end + 1;
    }
  }
  path = PFileListAnswer(paths);
  return !paths.empty();
}

std::string PFileListAnswer(const std::vector<std::string>& paths) {
  if (paths.size() == 1) return paths.front();
  // The folder every path lies in (up to its last '/'), then each path below it.
  std::size_t common = std::string::npos;
  for (const std::string& full : paths) {
    const std::size_t slash = full.find_last_of('/');
    const std::size_t length = slash == std::string::npos ? 0 : slash + 1;
    if (common == std::string::npos) {
      common = length;
      continue;
    }
    std::size_t same = 0;
    const std::size_t limit = std::min(common, length);
    while (same < limit && full[same] == paths.front()[same]) ++same;
    while (same > 0 && paths.front()[same - 1] != '/') --same;
    common = same;
  }
  if (common == std::string::npos) common = 0;
  std::string directory = paths.front().substr(0, common);
  if (directory.size() > 1 && directory.back() == '/') directory.pop_back();
  std::string answer = directory;
  answer.push_back('\0');
  for (const std::string& full : paths) {
    answer += full.substr(common);
    answer.push_back('\0');
  }
  answer.push_back('\0');
  return answer;
}

bool PReadFileList(const std::string& answer, std::vector<std::string>& paths,
                   std::string& reason,
                   const std::function<bool(const std::string&, const std::string&)>& nameOrder) {
  paths.clear();
  std::string listName = answer.substr(answer[0] == '@' ? 1 : 0);
  long long first = 1, last = -1;
  // A trailing ":FIRST-LAST" is a range when both are whole numbers.
  const std::size_t colon = listName.find_last_of(':');
  if (colon != std::string::npos) {
    const std::string range = listName.substr(colon + 1);
    const std::size_t dash = range.find('-');
    auto digits = [](const std::string& t) {
      return !t.empty() && t.size() < 12 &&
             std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (dash != std::string::npos && digits(range.substr(0, dash)) &&
        digits(range.substr(dash + 1))) {
      first = std::stoll(range.substr(0, dash));
      last = std::stoll(range.substr(dash + 1));
      listName.resize(colon);
      if (first < 1 || last < first) {
        reason = "the range " + range + " is empty";
        return false;
      }
    }
  }
  // Opened without blocking and looked at through the descriptor, so that what is checked
  // is what is read.
  const int descriptor = open(listName.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (descriptor < 0) {
    reason = "cannot read the list " + listName;
    return false;
  }
  struct stat info {};
  if (fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(descriptor);
    reason = "the list " + listName + " is not a regular file";
    return false;
  }
  if (info.st_size > kPListFileLimit) {
    close(descriptor);
    reason = "the list " + listName + " is longer than " + std::to_string(kPListFileLimit >> 20) +
             " MiB";
    return false;
  }
  const int flags = fcntl(descriptor, F_GETFL);
  if (flags >= 0) fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK);
  std::FILE* file = fdopen(descriptor, "r");
  if (!file) {
    close(descriptor);
    reason = "cannot read the list " + listName;
    return false;
  }
  const std::size_t slash = listName.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "" : listName.substr(0, slash + 1);
  std::vector<std::string> names;
  std::string line;
  long long lineNumber = 1, bytes = 0;
  int c = 0;
  while ((c = std::fgetc(file)) != EOF || !line.empty()) {
    // A file that grows while it is read is held to the same bound.
    if (c != EOF && ++bytes > kPListFileLimit) {
      reason = "the list " + listName + " is longer than " + std::to_string(kPListFileLimit >> 20) +
               " MiB";
      std::fclose(file);
      return false;
    }
    if (c == '\0') {
      reason = "line " + std::to_string(lineNumber) + " of the list " + listName +
               " holds a NUL character";
      std::fclose(file);
      return false;
    }
    if (c != EOF && c != '\n') {
      if (line.size() >= kPListLineLimit) {
        reason = "line " + std::to_string(lineNumber) + " of the list " + listName +
                 " is longer than " + std::to_string(kPListLineLimit) + " characters";
        std::fclose(file);
        return false;
      }
      line.push_back(static_cast<char>(c));
      continue;
    }
    ++lineNumber;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
      line.pop_back();
    std::size_t start = 0;
    while (start < line.size() && (line[start] == ' ' || line[start] == '\t')) ++start;
    line.erase(0, start);
    if (!line.empty() && line[0] != '#') names.push_back(line[0] == '/' ? line : folder + line);
    line.clear();
    if (c == EOF) break;
  }
  std::fclose(file);
  if (nameOrder) {
    std::sort(names.begin(), names.end(), nameOrder);
  } else {
    std::sort(names.begin(), names.end());
  }
  if (names.empty()) {
    reason = "the list " + listName + " names no file";
    return false;
  }
  if (last < 0) last = static_cast<long long>(names.size());
  if (first > static_cast<long long>(names.size())) {
    reason = "the list " + listName + " has only " + std::to_string(names.size()) + " file(s)";
    return false;
  }
  last = std::min(last, static_cast<long long>(names.size()));
  paths.assign(names.begin() + (first - 1), names.begin() + last);
  return true;
}

void PHeadlessBackend::ProgressBegin(const std::string& title, int total) {
  progressTitle_ = title;
  progressTotal_ = total;
}

bool PHeadlessBackend::ProgressStep(int done, const std::string& text) {
  Note("progress " + Quoted(progressTitle_) + ": " + text);
  if (cancelAtStep_ > 0 && done + 1 >= cancelAtStep_) {
    Note("progress " + Quoted(progressTitle_) + ": Cancel");
    cancelAtStep_ = 0;
    return false;
  }
  return true;
}

void PHeadlessBackend::ProgressEnd() { progressTitle_.clear(); }

bool PHeadlessBackend::ProgressWait(int milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(std::max(0, milliseconds)));
  return true;
}

bool PHeadlessBackend::ValueDialog(const PValueRequest& request, std::string& answer) {
  const std::string what = "dialog " + Quoted(request.prompt);
  std::string text;
  if (!TakeAnswer(what, request.prompt, text)) return false;
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
  if (!TakeAnswer("print dialog", "Print", path)) return nullptr;
  if (Lower(path) == "cancel") {
    Note("print dialog: cancel");
    ++cancels_;
    return nullptr;
  }
  PEnsureApplication();
  Note("print dialog: " + path);
  // The printer writes a private temporary file; the program's writer puts its bytes under
  // the name asked for, as every save.
  printFile_ = std::make_unique<QTemporaryFile>();
  if (!printFile_->open()) {
    printFile_.reset();
    return nullptr;
  }
  printPath_ = path;
  printJob_ = std::make_unique<PPageJob>(PPdfPrinter(printFile_->fileName().toStdString()));
  page = printJob_->Page();
  return printJob_->Canvas();
}

bool PHeadlessBackend::EndPrint() {
  if (!printJob_) return false;
  bool done = printJob_->Finish();
  printJob_.reset();
  if (done) {
    QFile printed(printFile_->fileName());
    const QByteArray bytes = printed.open(QIODevice::ReadOnly) ? printed.readAll() : QByteArray();
    done = !bytes.isEmpty() &&
           PWriteFile(printPath_, std::string(bytes.constData(), static_cast<std::size_t>(bytes.size())));
    if (!done) Note("print dialog: could not write " + printPath_);
  }
  printFile_.reset();
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
    if (!TakeAnswer(what, dialog.title, answer)) {
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
