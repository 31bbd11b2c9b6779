#include "ui/WMessageSink.h"

#include "core/outputfile.h"

#include "core/status.h"
#include "platform/Platform.h"
#include "ui/WDialogs.h"
#include "ui/WInfo.h"

namespace {

PIcon ToPlatform(IBoxIcon icon) {
  switch (icon) {
    case IBoxIcon::kInformation: return PIcon::kInformation;
    case IBoxIcon::kWarning: return PIcon::kWarning;
    case IBoxIcon::kError: return PIcon::kError;
    case IBoxIcon::kQuestion: return PIcon::kQuestion;
    case IBoxIcon::kNone: break;
  }
  return PIcon::kNone;
}

class WMessageSink final : public IMessageSink {
 public:
  void AddLine(const std::string& line) override {
    int local = kStatusGood;
    IInfoAddLine(line, local);
  }
  void MessageBox(const std::string& text, const std::string& caption, IBoxIcon icon,
                  bool echoedInLog) override {
    PCurrentBackend().MessageBox(text, caption, ToPlatform(icon), PButtons::kOk, PResult::kOk,
                                 echoedInLog);
  }
  IAnswer Question(const std::string& prompt, bool defaultYes) override {
    int local = kStatusGood;
    int value = defaultYes ? kTrue : kFalse;
    if (!WGetBoolean({prompt, kTrue, value, local})) return IAnswer::kCancel;
    return value ? IAnswer::kYes : IAnswer::kNo;
  }
};

}  // namespace

void WInstallMessageSink() {
  static WMessageSink sink;
  IInstallMessageSink(&sink);
  // What the platform writes for the user follows the rules of every save.
  PSetFileWriter(IWriteFileContents);
}
