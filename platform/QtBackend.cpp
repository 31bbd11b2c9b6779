#include "platform/QtBackend.h"

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QCloseEvent>
#include <QDialog>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QThread>
#include <QEventLoop>
#include <QPointer>
#include <QBuffer>
#include <QFile>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QImage>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QDir>
#include <QLocalSocket>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPageSetupDialog>
#include <QPainter>
#include <QPrintDialog>
#include <QPrinter>
#include <QPushButton>
#include <QScreen>
#include <QGuiApplication>
#include <QStyle>
#include <QScrollBar>
#include <QShortcut>
#include <QSocketNotifier>
#include <QSpinBox>
#include <QProgressDialog>
#include <QTextBrowser>
#include <QTimer>
#include <QValidator>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <QWidget>
#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <csignal>
#include <ctime>
#include <cstring>
#include <climits>
#include <cstdlib>
#include <deque>
#include <map>

#include "platform/PPrint.h"

class PMainWindow;

namespace {

// The canvas: shows the back-buffer and reports the mouse.
class CanvasView : public QWidget {
 public:
  explicit CanvasView(PMainWindow* owner);

 protected:
  void paintEvent(QPaintEvent*) override;
  void resizeEvent(QResizeEvent*) override;
  void mousePressEvent(QMouseEvent* event) override { Mouse(event, true); }
  void mouseReleaseEvent(QMouseEvent* event) override { Mouse(event, false); }
  void mouseMoveEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;

 private:
  void Mouse(QMouseEvent* event, bool down);
  PMainWindow* owner_;
};

struct ScrollState {
  int minimum = 0, maximum = 0, position = 0, page = 0;
};

}  // namespace

class PMainWindow : public QMainWindow {
 public:
  PWindowHandlers handlers;
  std::map<int, QAction*> actions;
  std::set<int> unavailable;
  QString unavailableTip;
  QImage backBuffer;
  std::unique_ptr<PCanvas> canvas;
  CanvasView* view = nullptr;
  QScrollBar* horizontal = nullptr;
  QScrollBar* vertical = nullptr;
  ScrollState scroll[2];  // as the program set them: horizontal, vertical
  bool exposePending = false;
  bool updatingBars = false;
  QSocketNotifier* instanceNotifier = nullptr;  // later starts knocking
  bool closeAsked = false;  // the close under way was confirmed by the program already
  std::deque<std::string> handedFiles;
  bool handRetryPending = false;
  std::map<int, int> keypad;  // key (with the keypad modifier) to menu id

  // A key of the numeric pad pressed anywhere in this window: its menu id, once.
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::KeyPress || keypad.empty()) return false;
    auto* key = static_cast<QKeyEvent*>(event);
    auto* widget = qobject_cast<QWidget*>(watched);
    if (!(key->modifiers() & Qt::KeypadModifier) || !widget || widget->window() != this) {
      return false;
    }
    const auto found = keypad.find(key->key());
    if (found == keypad.end()) return false;
    if (handlers.menu) handlers.menu(found->second);
    return true;
  }

  PMainWindow() : canvas(std::make_unique<PCanvas>(&backBuffer)) {
    backBuffer = QImage(16, 16, QImage::Format_RGB32);
    backBuffer.fill(QColor(220, 220, 220));
  }

  void ResizeBuffer(const QSize& size) {
    if (size.width() < 1 || size.height() < 1 || size == backBuffer.size()) return;
    // The image object stays the same (the canvas points at it); only its pixels change.
    backBuffer = QImage(size, QImage::Format_RGB32);
    backBuffer.fill(QColor(220, 220, 220));
    ScheduleExpose();
  }

  void ScheduleExpose() {
    if (exposePending) return;
    exposePending = true;
    // Painting runs commands, which may open dialogs: never inside Qt's paint event.
    QTimer::singleShot(0, this, [this] {
      exposePending = false;
      if (handlers.expose) handlers.expose();
    });
  }

  void ScrollAction(bool isHorizontal, int action) {
    if (updatingBars || !handlers.scroll) return;
    PScrollAction mapped;
    switch (action) {
      case QAbstractSlider::SliderSingleStepAdd: mapped = PScrollAction::kLineDown; break;
      case QAbstractSlider::SliderSingleStepSub: mapped = PScrollAction::kLineUp; break;
      case QAbstractSlider::SliderPageStepAdd: mapped = PScrollAction::kPageDown; break;
      case QAbstractSlider::SliderPageStepSub: mapped = PScrollAction::kPageUp; break;
      default: return;
    }
    // Qt moves the bar itself; the program sets it again after the redraw.
    QTimer::singleShot(0, this, [this, isHorizontal, mapped] {
      handlers.scroll(isHorizontal, mapped, 0);
    });
  }

 protected:
  void closeEvent(QCloseEvent* event) override {
    if (handlers.close && !handlers.close(closeAsked)) {
      event->ignore();
      return;
    }
    event->accept();
  }
};

namespace {

CanvasView::CanvasView(PMainWindow* owner) : QWidget(owner), owner_(owner) {
  setMouseTracking(true);
  setAttribute(Qt::WA_OpaquePaintEvent);
  setFocusPolicy(Qt::StrongFocus);
}

void CanvasView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.drawImage(0, 0, owner_->backBuffer);
}

void CanvasView::resizeEvent(QResizeEvent*) { owner_->ResizeBuffer(size()); }

void CanvasView::Mouse(QMouseEvent* event, bool down) {
  if (!owner_->handlers.mouse) return;
  PMouseEvent m;
  m.x = static_cast<int>(event->position().x());
  m.y = static_cast<int>(event->position().y());
  const bool right = event->button() == Qt::RightButton;
  if (down) {
    m.kind = right ? PMouseKind::kRightDown : PMouseKind::kLeftDown;
  } else {
    m.kind = right ? PMouseKind::kRightUp : PMouseKind::kLeftUp;
  }
  owner_->handlers.mouse(m);
}

void CanvasView::mouseMoveEvent(QMouseEvent* event) {
  if (!owner_->handlers.mouse) return;
  PMouseEvent m;
  m.kind = PMouseKind::kMove;
  m.x = static_cast<int>(event->position().x());
  m.y = static_cast<int>(event->position().y());
  owner_->handlers.mouse(m);
}

void CanvasView::wheelEvent(QWheelEvent* event) {
  if (owner_->handlers.wheel && event->angleDelta().y() != 0) {
    owner_->handlers.wheel(event->angleDelta().y() > 0);
  }
  event->accept();
}

QMessageBox::Icon ToQt(PIcon icon) {
  switch (icon) {
    case PIcon::kInformation: return QMessageBox::Information;
    case PIcon::kWarning: return QMessageBox::Warning;
    case PIcon::kError: return QMessageBox::Critical;
    case PIcon::kQuestion: return QMessageBox::Question;
    case PIcon::kNone: break;
  }
  return QMessageBox::NoIcon;
}

QString Q(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

PQtBackend::PQtBackend() { PEnsureApplication(); }

PQtBackend::~PQtBackend() {
  StopListening();
  if (window_) {
    window_->handlers = PWindowHandlers{};
    delete window_;
  }
}

QRect PFitWindowRectangle(QRect wanted, const std::vector<QRect>& screens, int menuWidth,
                          bool widen) {
  if (widen && wanted.width() < menuWidth) wanted.setWidth(menuWidth);
  if (screens.empty()) return wanted;
  const QRect* on = nullptr;
  long long most = 0;
  for (const QRect& screen : screens) {
    const QRect common = screen.intersected(wanted);
    const long long area = static_cast<long long>(common.width()) * common.height();
    if (common.width() >= 50 && common.height() >= 50 && area > most) {
      most = area;
      on = &screen;
    }
  }
  if (!on) {
    on = &screens.front();
    wanted.moveTopLeft(on->topLeft());
  }
  wanted.setWidth(std::min(wanted.width(), on->width()));
  wanted.setHeight(std::min(wanted.height(), on->height()));
  if (wanted.right() > on->right()) wanted.moveRight(on->right());
  if (wanted.bottom() > on->bottom()) wanted.moveBottom(on->bottom());
  if (wanted.left() < on->left()) wanted.moveLeft(on->left());
  if (wanted.top() < on->top()) wanted.moveTop(on->top());
  return wanted;
}

QRect PFirstWindowRectangle(const QRect& screen) {
  const int marginX = screen.width() / 20;
  const int marginY = screen.height() / 20;
  return QRect(screen.left() + marginX, screen.top() + marginY, screen.width() - 2 * marginX,
               screen.height() * 85 / 100);
}

namespace {

// Once the window manager has framed the window: the whole frame, title bar included, goes
// inside the screen's available area, the client area giving up what the frame needs.
void KeepFrameOnScreen(QWidget* w) {
  if (!w || !w->isVisible()) return;
  QScreen* screen = w->screen();
  if (!screen) return;
  const QRect available = screen->availableGeometry();
  const QRect frame = w->frameGeometry();
  if (available.contains(frame)) return;
  const int extraWidth = frame.width() - w->width();
  const int extraHeight = frame.height() - w->height();
  const QRect fitted = PFitWindowRectangle(frame, {available}, 0, false);
  w->resize(std::max(50, fitted.width() - extraWidth), std::max(50, fitted.height() - extraHeight));
  w->move(fitted.topLeft());
}

}  // namespace

void PQtBackend::CreateMainWindow(const std::string& title, int left, int top, int width,
                                  int height, const std::vector<PMenuSpec>& menus,
                                  const std::vector<PShortcutSpec>& shortcuts,
                                  PWindowHandlers handlers, bool widenForMenus) {
  window_ = new PMainWindow();
  PMainWindow* w = window_;
  w->handlers = std::move(handlers);
  w->setWindowTitle(Q(title));

  for (const PMenuSpec& spec : menus) {
    QMenu* menu = w->menuBar()->addMenu(Q(spec.title));
    menu->setToolTipsVisible(true);
    for (const PMenuItemSpec& item : spec.items) {
      if (item.label.empty()) {
        menu->addSeparator();
        continue;
      }
      QAction* action = menu->addAction(Q(item.label));
      action->setData(item.id);
      action->setCheckable(item.checkable);
      if (!item.shortcut.empty()) action->setShortcut(QKeySequence(Q(item.shortcut)));
      const int id = item.id;
      QObject::connect(action, &QAction::triggered, w, [w, id] {
        if (w->handlers.menu) w->handlers.menu(id);
      });
      w->actions[item.id] = action;
    }
  }
  for (const PShortcutSpec& spec : shortcuts) {
    // The numeric pad arrives as a plain key with the keypad modifier (with Num Lock off, as
    // the movement key printed on it), which a shortcut never matches: the pad is looked up
    // in the key event instead.
    if (spec.key.rfind("Num+", 0) == 0 && spec.key.size() == 5) {
      static const std::map<char, std::pair<int, int>> kPad = {
          {'1', {Qt::Key_1, Qt::Key_End}},    {'2', {Qt::Key_2, Qt::Key_Down}},
          {'3', {Qt::Key_3, Qt::Key_PageDown}}, {'4', {Qt::Key_4, Qt::Key_Left}},
          {'6', {Qt::Key_6, Qt::Key_Right}},  {'7', {Qt::Key_7, Qt::Key_Home}},
          {'8', {Qt::Key_8, Qt::Key_Up}},     {'9', {Qt::Key_9, Qt::Key_PageUp}},
          {'+', {Qt::Key_Plus, Qt::Key_Plus}}, {'-', {Qt::Key_Minus, Qt::Key_Minus}}};
      const auto pad = kPad.find(spec.key[4]);
      if (pad != kPad.end()) {
        w->keypad[pad->second.first] = spec.id;
        w->keypad[pad->second.second] = spec.id;
        continue;
      }
    }
    auto* shortcut = new QShortcut(QKeySequence(Q(spec.key)), w);
    const int id = spec.id;
    QObject::connect(shortcut, &QShortcut::activated, w, [w, id] {
      if (w->handlers.menu) w->handlers.menu(id);
    });
  }

  if (!w->keypad.empty()) QCoreApplication::instance()->installEventFilter(w);

  auto* central = new QWidget(w);
  auto* grid = new QGridLayout(central);
  grid->setContentsMargins(0, 0, 0, 0);
  grid->setSpacing(0);
  w->view = new CanvasView(w);
  w->horizontal = new QScrollBar(Qt::Horizontal, central);
  w->vertical = new QScrollBar(Qt::Vertical, central);
  grid->addWidget(w->view, 0, 0);
  grid->addWidget(w->vertical, 0, 1);
  grid->addWidget(w->horizontal, 1, 0);
  w->setCentralWidget(central);
  for (int k = 0; k < 2; ++k) {
    QScrollBar* bar = k == 0 ? w->horizontal : w->vertical;
    const bool isHorizontal = k == 0;
    QObject::connect(bar, &QAbstractSlider::actionTriggered, w,
                     [w, isHorizontal](int action) { w->ScrollAction(isHorizontal, action); });
    QObject::connect(bar, &QAbstractSlider::sliderReleased, w, [w, isHorizontal, bar] {
      if (w->updatingBars || !w->handlers.scroll) return;
      const int position = bar->value();
      QTimer::singleShot(0, w, [w, isHorizontal, position] {
        w->handlers.scroll(isHorizontal, PScrollAction::kThumb, position);
      });
    });
  }
  std::vector<QRect> screens;
  if (QScreen* primary = QGuiApplication::primaryScreen()) {
    screens.push_back(primary->availableGeometry());
    for (QScreen* screen : QGuiApplication::screens())
      if (screen != primary) screens.push_back(screen->availableGeometry());
  }
  // The menu bar's own width plus the frame's: what it needs to show every menu.
  const int menuWidth = w->menuBar()->sizeHint().width() + 2 * w->style()->pixelMetric(
                                                               QStyle::PM_DefaultFrameWidth);
  QRect wanted(left, top, std::max(width, 50), std::max(height, 50));
  if (widenForMenus && !screens.empty()) wanted = PFirstWindowRectangle(screens.front());
  const QRect placed = PFitWindowRectangle(wanted, screens, menuWidth, widenForMenus);
  // The size is the client area's; the position, given before the window exists, is the
  // frame's, so the title bar lands on the screen and not above it.
  w->resize(placed.size());
  w->move(placed.topLeft());
}

void PQtBackend::ShowMainWindow() {
  if (!window_) return;
  window_->show();
  window_->raise();
  window_->activateWindow();
  // The frame is known only once the window manager has put it round the window.
  QPointer<QWidget> shown(window_);
  QTimer::singleShot(0, window_, [shown] { KeepFrameOnScreen(shown); });
  QTimer::singleShot(400, window_, [shown] { KeepFrameOnScreen(shown); });
}

void PQtBackend::WindowRectangle(int& left, int& top, int& right, int& bottom) const {
  if (!window_) return;
  const QPoint corner = window_->frameGeometry().topLeft();
  left = corner.x();
  top = corner.y();
  right = left + window_->width() - 1;
  bottom = top + window_->height() - 1;
}

void PQtBackend::SetUnavailable(const std::set<int>& ids, const std::string& tip) {
  if (!window_) return;
  window_->unavailable = ids;
  window_->unavailableTip = Q(tip);
  for (int id : ids) {
    auto it = window_->actions.find(id);
    if (it == window_->actions.end()) continue;
    it->second->setEnabled(false);
    it->second->setToolTip(window_->unavailableTip);
  }
}

bool PQtBackend::MenuItemExists(int id) const {
  return window_ && window_->actions.count(id) != 0;
}

void PQtBackend::CloseMainWindow(bool asked) {
  if (!window_) return;
  window_->closeAsked = asked;
  window_->close();
  window_->closeAsked = false;
}

bool PQtBackend::GrabWindow(const std::string& path) {
  std::string png;
  if (!GrabWindowPng(png)) return false;
  QFile file(Q(path));
  return file.open(QIODevice::WriteOnly) &&
         file.write(png.data(), static_cast<qint64>(png.size())) ==
             static_cast<qint64>(png.size());
}

bool PQtBackend::GrabWindowPng(std::string& png) {
  png.clear();
  if (!window_) return false;
  QImage picture = window_->grab().toImage();
  if (picture.isNull()) return false;
  // Dialogs and boxes go over the window where they stand on the screen, the active modal one
  // last (on top); one lying beyond the window is pulled inside the picture.
  std::vector<QWidget*> dialogs;
  QWidget* modal = QApplication::activeModalWidget();
  for (QWidget* top : QApplication::topLevelWidgets()) {
    if (top == window_ || top == modal || !top->isVisible()) continue;
    if (qobject_cast<QDialog*>(top) || qobject_cast<QMenu*>(top)) dialogs.push_back(top);
  }
  if (modal && modal != window_ && modal->isVisible()) dialogs.push_back(modal);
  if (!dialogs.empty()) {
    const QPoint origin = window_->mapToGlobal(QPoint(0, 0));
    QPainter painter(&picture);
    for (QWidget* dialog : dialogs) {
      const QImage shot = dialog->grab().toImage();
      QPoint at = dialog->mapToGlobal(QPoint(0, 0)) - origin;
      at.setX(std::clamp(at.x(), 0, std::max(0, picture.width() - shot.width())));
      at.setY(std::clamp(at.y(), 0, std::max(0, picture.height() - shot.height())));
      painter.drawImage(at, shot);
    }
  }
  QByteArray bytes;
  QBuffer buffer(&bytes);
  if (!buffer.open(QIODevice::WriteOnly) || !picture.save(&buffer, "PNG")) return false;
  png.assign(bytes.constData(), static_cast<std::size_t>(bytes.size()));
  return true;
}

void PQtBackend::EndDialogs() {
  endingDialogs_ = true;
  for (QWidget* top : QApplication::topLevelWidgets()) {
    if (top == window_ || !top->isVisible()) continue;
    if (auto* dialog = qobject_cast<QDialog*>(top)) {
      dialog->reject();  // a click input's control dialog ends its input as cancelled
    } else if (auto* menu = qobject_cast<QMenu*>(top)) {
      menu->close();
    }
  }
}

namespace {

// The instance socket of this process: its path and inode, so that only the socket this
// process made is ever removed (a later start may have made one of its own under the name).
char gInstancePath[sizeof(sockaddr_un::sun_path)] = {0};
ino_t gInstanceInode = 0;
int gInstanceDescriptor = -1;
int gSignalPipe[2] = {-1, -1};
int gTerminateCode = 0;

// Whoever removes the socket first (a handler on any thread, or the exit) is the only one.
std::atomic<bool> gInstanceRemoved{false};

// Safe in a signal handler: lstat and unlink only.
void RemoveInstanceSocket() {
  if (gInstancePath[0] == '\0' || gInstanceRemoved.exchange(true)) return;
  struct stat info {};
  if (lstat(gInstancePath, &info) == 0 && S_ISSOCK(info.st_mode) && info.st_ino == gInstanceInode)
    unlink(gInstancePath);
}

// Signals taken, and when the first came (monotonic nanoseconds).
std::atomic<int> gSignalsTaken{0};
std::atomic<long long> gFirstSignalAt{0};
// A second signal this soon after the first is the same request: 'timeout' and a terminal
// send one to the process and one to its group.
constexpr long long kSameRequestNs = 1000000000LL;

long long MonotonicNs() {
  timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// SIGTERM and SIGINT: the socket goes at once, then the program is asked to end through its
// event loop (the data-base is saved as on a normal exit). A later second signal ends it
// outright. The handler stays installed: a signal taken on another thread while this one runs
// must not find the default action and end the process before the socket is gone.
void OnTerminateSignal(int signal) {
  const int saved = errno;
  RemoveInstanceSocket();
  const long long now = MonotonicNs();
  if (gSignalsTaken.fetch_add(1) == 0) {
    gFirstSignalAt.store(now);
    const char code = static_cast<char>(signal);
    if (gSignalPipe[1] >= 0 && write(gSignalPipe[1], &code, 1) < 0) {
      // Nothing more can be done in a handler.
    }
  } else if (now - gFirstSignalAt.load() > kSameRequestNs) {
    ::signal(signal, SIG_DFL);
    raise(signal);
  }
  errno = saved;
}

void HandleTerminateSignals() {
  static bool installed = false;
  if (installed) return;
  if (pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  installed = true;
  auto* notifier = new QSocketNotifier(gSignalPipe[0], QSocketNotifier::Read, qApp);
  QObject::connect(notifier, &QSocketNotifier::activated, qApp, [] {
    char code = 0;
    if (read(gSignalPipe[0], &code, 1) != 1) return;
    // Remembered too: a signal taken before the event loop runs must still end it.
    gTerminateCode = 128 + code;
    QCoreApplication::exit(gTerminateCode);
  });
  struct sigaction action {};
  action.sa_handler = OnTerminateSignal;
  sigemptyset(&action.sa_mask);
  sigaddset(&action.sa_mask, SIGTERM);
  sigaddset(&action.sa_mask, SIGINT);
  action.sa_flags = 0;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  std::atexit(RemoveInstanceSocket);
}

bool OwnPrivateFolder(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == getuid() &&
         (info.st_mode & 077) == 0;
}

// The user of the process at the other end of a connected socket is this user.
bool PeerIsThisUser(int descriptor) {
  ucred credentials {};
  socklen_t length = sizeof credentials;
  return descriptor >= 0 &&
         getsockopt(descriptor, SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0 &&
         credentials.uid == getuid();
}

// A handed-over line is a file name; anything longer is no start of this program.
constexpr qint64 kHandedLineLimit = 64 * 1024;

}  // namespace

int PQtBackend::TerminateRequested() { return gTerminateCode; }

std::string PQtBackend::InstanceSocketPath(const std::string& name) {
  // Only a folder no other user can enter: a socket under a predictable name in the shared
  // temporary folder can be bound first by anyone, who then receives the files of every
  // later start.
  std::string folder;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && runtime[0] == '/' && OwnPrivateFolder(runtime)) {
    folder = runtime;
  } else {
    folder = QDir::tempPath().toStdString() + "/lumivane-" + std::to_string(getuid());
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return std::string();
    if (!OwnPrivateFolder(folder)) return std::string();
  }
  const std::string path = folder + "/" + name;
  if (path.size() >= sizeof(sockaddr_un::sun_path)) return std::string();
  return path;
}

bool PQtBackend::HandToRunningInstance(const std::string& name, const std::string& file) {
  const std::string path = InstanceSocketPath(name);
  if (path.empty()) return false;
  QLocalSocket socket;
  socket.connectToServer(Q(path));
  if (!socket.waitForConnected(300)) return false;
  // The listener must be this user's own program, whatever the folder's rights say.
  if (!PeerIsThisUser(static_cast<int>(socket.socketDescriptor()))) {
    socket.abort();
    return false;
  }
  socket.write((file + "\n").c_str());
  socket.flush();
  socket.waitForBytesWritten(1000);
  socket.disconnectFromServer();
  return true;
}

void PQtBackend::ListenForOtherStarts(const std::string& name) {
  if (!window_ || gInstanceDescriptor >= 0) return;
  const std::string path = InstanceSocketPath(name);
  if (path.empty()) return;  // no private folder: this start stays on its own
  const int descriptor = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (descriptor < 0) return;
  sockaddr_un address {};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  // A socket left by a start that could not clean up (killed): nobody answered on it.
  struct stat left {};
  if (lstat(path.c_str(), &left) == 0 && S_ISSOCK(left.st_mode)) unlink(path.c_str());
  // The handlers are in place before the socket exists, and a signal that comes while it is
  // being made waits until it is recorded, so that no socket is left behind.
  HandleTerminateSignals();
  sigset_t terminate, previous;
  sigemptyset(&terminate);
  sigaddset(&terminate, SIGTERM);
  sigaddset(&terminate, SIGINT);
  pthread_sigmask(SIG_BLOCK, &terminate, &previous);
  const mode_t mask = umask(0077);
  const bool bound = bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  umask(mask);
  struct stat info {};
  const bool listening = bound && listen(descriptor, 8) == 0 && lstat(path.c_str(), &info) == 0;
  if (listening) {
    std::memcpy(gInstancePath, path.c_str(), path.size() + 1);
    gInstanceInode = info.st_ino;
    gInstanceDescriptor = descriptor;
    gInstanceRemoved.store(false);
  } else if (bound) {
    unlink(path.c_str());
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (!listening) {
    close(descriptor);
    return;
  }

  PMainWindow* w = window_;
  w->instanceNotifier = new QSocketNotifier(descriptor, QSocketNotifier::Read, w);
  QObject::connect(w->instanceNotifier, &QSocketNotifier::activated, w, [this, w, descriptor] {
    const int client = accept4(descriptor, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (client < 0) return;
    // Files are taken only from this user's own starts.
    if (!PeerIsThisUser(client)) {
      close(client);
      return;
    }
    auto* socket = new QLocalSocket(w);
    if (!socket->setSocketDescriptor(client)) {
      close(client);
      socket->deleteLater();
      return;
    }
    QObject::connect(socket, &QLocalSocket::readyRead, w, [this, w, socket] {
      if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > kHandedLineLimit) {
          socket->abort();
          socket->deleteLater();
        }
        return;
      }
      const std::string file = socket->readLine(kHandedLineLimit).trimmed().toStdString();
      socket->disconnectFromServer();
      socket->deleteLater();
      if (w->isMinimized()) w->showNormal();
      w->raise();
      w->activateWindow();
      if (file.empty()) return;
      w->handedFiles.push_back(file);
      DeliverHandedFiles();
    });
    QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
  });
}

void PQtBackend::StopListening() {
  if (window_ && window_->instanceNotifier) {
    delete window_->instanceNotifier;
    window_->instanceNotifier = nullptr;
  }
  RemoveInstanceSocket();
  if (gInstanceDescriptor >= 0) {
    close(gInstanceDescriptor);
    gInstanceDescriptor = -1;
  }
}

bool PQtBackend::FreeToOpenHandedFiles() const {
  if (!window_ || endingDialogs_) return false;
  if (QApplication::activeModalWidget() || QApplication::activePopupWidget()) return false;
  if (clickDialog_ || busyDepth_ > 0) return false;
  return !(window_->handlers.busy && window_->handlers.busy());
}

std::size_t PQtBackend::HandedFilesWaiting() const {
  return window_ ? window_->handedFiles.size() : 0;
}

void PQtBackend::DeliverHandedFiles() {
  PMainWindow* w = window_;
  if (!w) return;
  while (!w->handedFiles.empty()) {
    if (!FreeToOpenHandedFiles()) {
      // Tried again shortly: the dialog or the work in hand ends first.
      if (!w->handRetryPending) {
        w->handRetryPending = true;
        QTimer::singleShot(100, w, [this, w] {
          w->handRetryPending = false;
          DeliverHandedFiles();
        });
      }
      return;
    }
    const std::string file = w->handedFiles.front();
    w->handedFiles.pop_front();
    if (w->handlers.anotherStart) w->handlers.anotherStart(file);
    if (window_ != w) return;
  }
}

bool PQtBackend::HasMainWindow() const { return window_ != nullptr; }

PResult PQtBackend::MessageBox(const std::string& text, const std::string& caption, PIcon icon,
                               PButtons buttons, PResult defaultButton, bool) {
  if (endingDialogs_) return buttons == PButtons::kOk ? PResult::kOk : defaultButton;
  QMessageBox box(ToQt(icon), Q(caption), Q(text), QMessageBox::NoButton, nullptr);
  QMessageBox::StandardButton deflt = QMessageBox::Ok;
  switch (buttons) {
    case PButtons::kOk: box.setStandardButtons(QMessageBox::Ok); break;
    case PButtons::kYesNo: box.setStandardButtons(QMessageBox::Yes | QMessageBox::No); break;
    case PButtons::kYesNoCancel:
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
      break;
  }
  if (buttons != PButtons::kOk) {
    deflt = defaultButton == PResult::kNo ? QMessageBox::No
            : defaultButton == PResult::kCancel ? QMessageBox::Cancel
                                                 : QMessageBox::Yes;
  }
  box.setDefaultButton(deflt);
  box.setEscapeButton(buttons == PButtons::kYesNo ? QMessageBox::No
                      : buttons == PButtons::kOk  ? QMessageBox::Ok
                                                  : QMessageBox::Cancel);
  const int answer = box.exec();
  switch (answer) {
    case QMessageBox::Yes: return PResult::kYes;
    case QMessageBox::No: return PResult::kNo;
    case QMessageBox::Ok: return PResult::kOk;
    default: return PResult::kCancel;
  }
}

int PQtBackend::PopupMenu(const PPopupMenu& spec, int screenX, int screenY) {
  if (endingDialogs_) return 0;
  QMenu menu(window_);
  QAction* title = menu.addAction(Q(spec.title));
  QFont bold = title->font();
  bold.setBold(true);
  title->setFont(bold);
  title->setEnabled(false);
  menu.addSeparator();
  for (const PMenuEntry& entry : spec.entries) {
    QAction* action = menu.addAction(Q(entry.label));
    action->setData(entry.id);
    action->setEnabled(entry.enabled);
    action->setCheckable(true);
    action->setChecked(entry.checked);
  }
  menu.addSeparator();
  QAction* cancel = menu.addAction("Cancel command");
  cancel->setData(1390);
  QPoint at(screenX, screenY);
  if (window_) at = window_->mapToGlobal(QPoint(screenX, screenY));
  QAction* chosen = menu.exec(at);
  if (!chosen) return 0;
  const int id = chosen->data().toInt();
  return id == 1390 ? 0 : id;
}

bool PQtBackend::ChooseFile(const PFileRequest& request, std::string& path) {
  if (endingDialogs_) return false;
  QFileDialog dialog(window_, Q(request.title),
                     request.directory.empty() ? QString(".") : Q(request.directory),
                     Q(request.filter));
  dialog.setOption(QFileDialog::DontUseNativeDialog, true);
  if (request.save) {
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
  } else {
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(request.multiple ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
  }
  if (!request.defaultSuffix.empty()) dialog.setDefaultSuffix(Q(request.defaultSuffix));
  if (!request.initialName.empty()) dialog.selectFile(Q(request.initialName));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
  if (request.multiple) {
    std::vector<std::string> paths;
    for (const QString& file : dialog.selectedFiles()) paths.push_back(file.toStdString());
    path = PFileListAnswer(paths);
    return true;
  }
  path = dialog.selectedFiles().front().toStdString();
  return true;
}

namespace {

// The integer field: a spin box that tells when it refuses what was typed (a letter, a value
// beyond its range), instead of swallowing the key without a word.
class IntegerField : public QSpinBox {
 public:
  IntegerField(QWidget* parent, std::function<void()> refused)
      : QSpinBox(parent), refused_(std::move(refused)) {}

 protected:
  QValidator::State validate(QString& text, int& position) const override {
    const QValidator::State state = QSpinBox::validate(text, position);
    if (state == QValidator::Invalid && refused_) refused_();
    return state;
  }

 private:
  std::function<void()> refused_;
};

}  // namespace

bool PQtBackend::ValueDialog(const PValueRequest& request, std::string& answer) {
  if (endingDialogs_) return false;
  QDialog dialog(window_);
  dialog.setWindowTitle(Q(request.title));
  auto* layout = new QVBoxLayout(&dialog);
  auto* prompt = new QLabel(Q(request.prompt), &dialog);
  prompt->setWordWrap(true);
  layout->addWidget(prompt);
  // What the field takes, shown once the user typed something it cannot take.
  auto* expected = new QLabel(Q(request.expected), &dialog);
  expected->setObjectName("expected");
  expected->setWordWrap(true);
  QPalette warning = expected->palette();
  warning.setColor(QPalette::WindowText, QColor(176, 0, 0));
  expected->setPalette(warning);
  auto sayExpected = [&dialog, expected] {
    if (expected->text().isEmpty() || expected->isVisible()) return;
    expected->show();
    dialog.resize(dialog.width(), dialog.sizeHint().height());
  };
  QLineEdit* edit = nullptr;
  QSpinBox* spin = nullptr;
  if (request.kind == PValueKind::kInteger) {
    spin = new IntegerField(&dialog, sayExpected);
    const long long lower = request.rangeGiven ? request.lower : INT_MIN;
    const long long upper = request.rangeGiven ? request.upper : INT_MAX;
    spin->setRange(static_cast<int>(std::max<long long>(lower, INT_MIN)),
                   static_cast<int>(std::min<long long>(upper, INT_MAX)));
    spin->setValue(std::atoi(request.defaultText.c_str()));
    spin->setAlignment(Qt::AlignCenter);
    spin->selectAll();
    layout->addWidget(spin);
  } else {
    edit = new QLineEdit(Q(request.defaultText), &dialog);
    edit->selectAll();
    layout->addWidget(edit);
  }
  layout->addWidget(expected);
  expected->setVisible(request.refused && !request.expected.empty());
  auto* buttons = new QHBoxLayout();
  auto* ok = new QPushButton("OK", &dialog);
  auto* cancel = new QPushButton("CANCEL", &dialog);
  ok->setDefault(true);
  buttons->addWidget(ok);
  buttons->addWidget(cancel);
  buttons->addStretch();
  layout->addLayout(buttons);
  QObject::connect(cancel, &QPushButton::clicked, &dialog, &QDialog::reject);
  QObject::connect(ok, &QPushButton::clicked, &dialog, [&dialog, edit, spin, &request,
                                                        &sayExpected] {
    // Text that cannot be taken keeps the dialog open, and the dialog says what it takes.
    if (edit && request.kind == PValueKind::kReal) {
      const std::string text = edit->text().toStdString();
      char* end = nullptr;
      std::strtof(text.c_str(), &end);
      if (end == text.c_str()) {
        sayExpected();
        edit->setFocus();
        edit->selectAll();
        return;
      }
    }
    if (spin && !spin->hasAcceptableInput()) {
      sayExpected();
      spin->setFocus();
      spin->selectAll();
      return;
    }
    dialog.accept();
  });
  if (request.widthUnits > 0) dialog.resize(request.widthUnits * 2, dialog.sizeHint().height());
  if (dialog.exec() != QDialog::Accepted) return false;
  answer = spin ? std::to_string(spin->value()) : edit->text().toStdString();
  return true;
}

void PQtBackend::ShowTextWindow(const std::string& title, const std::string& markdown) {
  if (endingDialogs_) return;
  if (!textWindow_) {
    // Modeless, so the steps it describes can be followed in the main window beside it.
    textWindow_ = new QDialog(window_);
    textWindow_->setAttribute(Qt::WA_DeleteOnClose);
    textWindow_->setModal(false);
    auto* layout = new QVBoxLayout(textWindow_);
    auto* text = new QTextBrowser(textWindow_);
    text->setObjectName("text");
    text->setOpenLinks(false);
    layout->addWidget(text);
    auto* close = new QPushButton("Close", textWindow_);
    QObject::connect(close, &QPushButton::clicked, textWindow_.data(), &QDialog::close);
    auto* row = new QHBoxLayout();
    row->addStretch();
    row->addWidget(close);
    layout->addLayout(row);
    textWindow_->resize(680, 620);
    if (window_) textWindow_->move(window_->mapToGlobal(QPoint(40, 40)));
  }
  textWindow_->setWindowTitle(Q(title));
  textWindow_->findChild<QTextBrowser*>("text")->setMarkdown(Q(markdown));
  textWindow_->show();
  textWindow_->raise();
  textWindow_->activateWindow();
}

void PQtBackend::SetMenuItemEnabled(int id, bool enabled) {
  if (!window_) return;
  auto it = window_->actions.find(id);
  if (it == window_->actions.end()) return;
  it->second->setEnabled(enabled && !window_->unavailable.count(id));
}

void PQtBackend::SetMenuItemChecked(int id, bool checked) {
  if (!window_) return;
  auto it = window_->actions.find(id);
  if (it == window_->actions.end()) return;
  it->second->setCheckable(true);
  it->second->setChecked(checked);
}

void PQtBackend::SetMenuItemText(int id, const std::string& text) {
  if (!window_) return;
  auto it = window_->actions.find(id);
  if (it != window_->actions.end()) it->second->setText(Q(text));
}

void PQtBackend::SetMenuRadio(int first, int last, int checkedId) {
  for (int id = first; id <= last; ++id) SetMenuItemChecked(id, id == checkedId);
}

bool PQtBackend::MenuItemEnabled(int id) const {
  if (!window_) return false;
  auto it = window_->actions.find(id);
  return it != window_->actions.end() && it->second->isEnabled();
}

bool PQtBackend::MenuItemChecked(int id) const {
  if (!window_) return false;
  auto it = window_->actions.find(id);
  return it != window_->actions.end() && it->second->isChecked();
}

std::string PQtBackend::MenuItemText(int id) const {
  if (!window_) return std::string();
  auto it = window_->actions.find(id);
  return it == window_->actions.end() ? std::string() : it->second->text().toStdString();
}

void PQtBackend::SetBusyCursor(bool busy) {
  if (busy) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    ++busyDepth_;
  } else if (busyDepth_ > 0) {
    QApplication::restoreOverrideCursor();
    --busyDepth_;
  }
}

void PQtBackend::ProgressBegin(const std::string& title, int total) {
  ProgressEnd();
  progress_ = new QProgressDialog(Q(title), "Cancel", 0, std::max(1, total), window_);
  progress_->setWindowTitle(Q(title));
  progress_->setWindowModality(Qt::WindowModal);
  progress_->setMinimumDuration(0);
  progress_->setAutoClose(false);
  progress_->setAutoReset(false);
  progress_->setMinimumWidth(420);
  // The arrow with the busy sign, so the Cancel button still looks pressable.
  QApplication::setOverrideCursor(Qt::BusyCursor);
  progress_->show();
  // In the top right corner of the window: images are drawn from the top left, and a movie
  // must not play behind the dialog.
  if (window_) {
    progress_->adjustSize();
    const QRect frame = window_->geometry();
    const int x = std::max(frame.left(), frame.right() - progress_->width() - 24);
    const int y = frame.top() + std::min(60, std::max(0, frame.height() - progress_->height()));
    progress_->move(x, y);
  }
  QApplication::processEvents();
}

bool PQtBackend::ProgressStep(int done, const std::string& text) {
  if (!progress_) return true;
  progress_->setLabelText(Q(text));
  progress_->setValue(std::min(done, progress_->maximum()));
  // Repaints and the Cancel button are served between items.
  QApplication::processEvents();
  return !progress_->wasCanceled() && !endingDialogs_;
}

bool PQtBackend::ProgressWait(int milliseconds) {
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < milliseconds) {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    if (progress_ && progress_->wasCanceled()) return false;
    if (endingDialogs_) return false;
    QThread::msleep(10);
  }
  return !(progress_ && progress_->wasCanceled());
}

void PQtBackend::ProgressEnd() {
  if (!progress_) return;
  progress_->hide();
  progress_->deleteLater();
  progress_ = nullptr;
  QApplication::restoreOverrideCursor();
}

PCanvas* PQtBackend::Canvas() { return window_ ? window_->canvas.get() : nullptr; }

void PQtBackend::ClientSize(int& width, int& height) const {
  width = height = 0;
  if (!window_ || !window_->view) return;
  width = window_->backBuffer.width();
  height = window_->backBuffer.height();
}

void PQtBackend::Present() {
  if (window_ && window_->view) window_->view->update();
}

void PQtBackend::SetScrollbar(bool horizontal, int minimum, int maximum, int position, int page) {
  if (!window_) return;
  window_->scroll[horizontal ? 0 : 1] = {minimum, maximum, position, page};
  QScrollBar* bar = horizontal ? window_->horizontal : window_->vertical;
  window_->updatingBars = true;
  // A page of the whole range cannot scroll: the bar stays visible but disabled.
  const int top = std::max(minimum, maximum - std::max(page, 1) + 1);
  bar->setRange(minimum, top);
  bar->setPageStep(std::max(page, 1));
  bar->setSingleStep(std::max(1, page / 8));
  bar->setValue(position);
  bar->setEnabled(top > minimum);
  window_->updatingBars = false;
}

void PQtBackend::GetScrollbar(bool horizontal, int& minimum, int& maximum, int& position,
                              int& page) const {
  minimum = maximum = position = page = 0;
  if (!window_) return;
  const ScrollState& s = window_->scroll[horizontal ? 0 : 1];
  minimum = s.minimum;
  maximum = s.maximum;
  page = s.page;
  const QScrollBar* bar = horizontal ? window_->horizontal : window_->vertical;
  position = bar->value();
}

void PQtBackend::SetWindowTitle(const std::string& title) {
  if (window_) window_->setWindowTitle(Q(title));
}

std::string PQtBackend::WindowTitle() const {
  return window_ ? window_->windowTitle().toStdString() : std::string();
}

QWidget* PQtBackend::MainWidget() const { return window_; }

PCanvas* PQtBackend::BeginPrint(PPrintPage& page) {
  if (endingDialogs_) return nullptr;
  auto printer = std::make_unique<QPrinter>(QPrinter::HighResolution);
  printer->setDocName("Tavrisk Print job");
  printer->setPageMargins(QMarginsF(0, 0, 0, 0), QPageLayout::Millimeter);
  QPageSetupDialog setup(printer.get(), window_);
  if (setup.exec() != QDialog::Accepted) return nullptr;
  QPrintDialog dialog(printer.get(), window_);
  dialog.setOption(QAbstractPrintDialog::PrintPageRange, false);
  dialog.setOption(QAbstractPrintDialog::PrintSelection, false);
  if (dialog.exec() != QDialog::Accepted) return nullptr;
  printJob_ = std::make_unique<PPageJob>(std::move(printer));
  page = printJob_->Page();
  return printJob_->Canvas();
}

bool PQtBackend::EndPrint() {
  if (!printJob_) return false;
  const bool done = printJob_->Finish();
  printJob_.reset();
  return done;
}

namespace {

// Hands the canvas' mouse messages to the click input and keeps them from the window.
class ClickFilter : public QObject {
 public:
  explicit ClickFilter(std::function<bool(QEvent*)> take) : take_(std::move(take)) {}

 protected:
  bool eventFilter(QObject*, QEvent* event) override { return take_(event); }

 private:
  std::function<bool(QEvent*)> take_;
};

}  // namespace

QWidget* PQtBackend::CanvasWidget() const { return window_ ? window_->view : nullptr; }

QWidget* PQtBackend::TextWindow() const { return textWindow_.data(); }

bool PQtBackend::ClickInput(PClickDialog& request, const PClickHandler& handler) {
  if (!window_ || !window_->view || clickDialog_) return false;
  if (endingDialogs_) {
    // Answered at once, unseen: as if its cancel button had been pressed.
    for (const PClickButton& b : request.buttons) {
      if (b.word != "cancel") continue;
      PClickEvent event;
      event.kind = PClickKind::kButton;
      event.id = b.id;
      handler(event);
      break;
    }
    return true;
  }
  QEventLoop loop;
  bool done = false;
  std::map<int, QPushButton*> buttons;
  auto deliver = [&](const PClickEvent& event) {
    if (done) return;
    if (!handler(event)) {
      done = true;
      loop.quit();
      return;
    }
    for (const PClickButton& b : request.buttons) {
      auto it = buttons.find(b.id);
      if (it != buttons.end() && it->second->text() != Q(b.label)) it->second->setText(Q(b.label));
    }
  };
  auto pressWord = [&](const std::string& word) {
    for (const PClickButton& b : request.buttons) {
      if (b.word == word) {
        PClickEvent event;
        event.kind = PClickKind::kButton;
        event.id = b.id;
        deliver(event);
        return;
      }
    }
    done = true;
    loop.quit();
  };

  // Modeless: the main window stays usable for the clicks.
  QPointer<QDialog> dialog = new QDialog(window_);
  dialog->setWindowTitle(Q(request.title));
  dialog->setModal(false);
  auto* layout = new QVBoxLayout(dialog);
  for (const std::string& line : request.lines) layout->addWidget(new QLabel(Q(line), dialog));
  auto* grid = new QGridLayout();
  int index = 0;
  for (const PClickButton& b : request.buttons) {
    auto* button = new QPushButton(Q(b.label), dialog);
    button->setAutoDefault(false);
    button->setDefault(b.isDefault);
    grid->addWidget(button, index / 2, index % 2);
    ++index;
    buttons[b.id] = button;
    const int id = b.id;
    QObject::connect(button, &QPushButton::clicked, dialog, [&deliver, id] {
      PClickEvent event;
      event.kind = PClickKind::kButton;
      event.id = id;
      deliver(event);
    });
  }
  layout->addLayout(grid);
  QObject::connect(dialog, &QDialog::rejected, dialog, [&pressWord] { pressWord("cancel"); });
  if (request.widthUnits > 0) dialog->resize(request.widthUnits * 2, dialog->sizeHint().height());
  // Beside the image's top right corner, off the middle where rings and the beam centre are
  // clicked; where the user moved it last time once moved. Kept on the screen either way.
  QPoint placed;
  {
    const QSize size = dialog->sizeHint().expandedTo(dialog->size());
    QPoint place = clickDialogPlace_.value_or(window_->view->mapToGlobal(
        QPoint(std::max(0, window_->view->width() - size.width() - 24), 24)));
    if (const QScreen* screen = QGuiApplication::screenAt(place) ? QGuiApplication::screenAt(place)
                                                                 : window_->screen()) {
      const QRect room = screen->availableGeometry();
      place.setX(std::clamp(place.x(), room.left(), std::max(room.left(), room.right() - size.width())));
      place.setY(std::clamp(place.y(), room.top(), std::max(room.top(), room.bottom() - size.height())));
    }
    dialog->move(place);
    placed = place;
  }

  ClickFilter filter([&](QEvent* event) {
    switch (event->type()) {
      case QEvent::MouseButtonPress: {
        auto* mouse = static_cast<QMouseEvent*>(event);
        PClickEvent click;
        click.kind = PClickKind::kPress;
        click.x = static_cast<int>(mouse->position().x());
        click.y = static_cast<int>(mouse->position().y());
        click.right = mouse->button() == Qt::RightButton;
        deliver(click);
        return true;
      }
      case QEvent::MouseMove: {
        auto* mouse = static_cast<QMouseEvent*>(event);
        PClickEvent move;
        move.x = static_cast<int>(mouse->position().x());
        move.y = static_cast<int>(mouse->position().y());
        deliver(move);
        return true;
      }
      case QEvent::MouseButtonRelease:
      case QEvent::MouseButtonDblClick:
        return true;
      default:
        return false;
    }
  });
  window_->view->installEventFilter(&filter);
  clickDialog_ = dialog;
  dialog->show();
  if (!done) loop.exec();
  if (window_ && window_->view) window_->view->removeEventFilter(&filter);
  clickDialog_ = nullptr;
  if (dialog && dialog->pos() != placed) clickDialogPlace_ = dialog->pos();  // the user moved it
  // Ended now rather than with the main window: its buttons call into this call's locals.
  if (dialog) std::unique_ptr<QDialog> ended(dialog.data());
  return true;
}
