#include "app/settings.h"

#include "text/encoding.h"
#include "text/number.h"

namespace {
enum class Pending { kNone, kBindAddress, kPort, kTitle, kListPath, kJournal, kMetrics, kDumps, kOperators, kGrace };

bool IsOptionWord(std::u16string_view arg, char letter) {
  return arg.size() == 2 && (arg[0] == u'/' || arg[0] == u'-') &&
         (arg[1] == letter || arg[1] == letter - 'a' + 'A');
}
// "/word" or "-word", the word in any case of its ASCII letters.
bool IsModeWord(std::u16string_view arg, std::string_view word) {
  if (arg.size() != word.size() + 1 || (arg[0] != u'/' && arg[0] != u'-')) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    char16_t c = arg[i + 1];
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    if (c != static_cast<unsigned char>(word[i])) return false;
  }
  return true;
}
}  // namespace

int ApplyCommandLine(const std::vector<std::u16string>& args, Settings& settings) {
  settings.listPath = Settings::kDefaultListPath;
  settings.mode = Settings::Mode::kDesktop;
  settings.graceSeconds = 0;
  settings.graceRejected.clear();
  Pending pending = Pending::kNone;
  int armed = 0;
  for (const std::u16string& arg : args) {
    if (IsOptionWord(arg, 'i')) {
      pending = Pending::kBindAddress;
    } else if (IsOptionWord(arg, 'p')) {
      pending = Pending::kPort;
    } else if (IsOptionWord(arg, 'n')) {
      pending = Pending::kTitle;
    } else if (IsOptionWord(arg, 'f')) {
      pending = Pending::kListPath;
    } else if (IsOptionWord(arg, 'l')) {
      pending = Pending::kJournal;
    } else if (IsOptionWord(arg, 'm')) {
      pending = Pending::kMetrics;
    } else if (IsOptionWord(arg, 'd')) {
      pending = Pending::kDumps;
    } else if (IsOptionWord(arg, 'g')) {
      pending = Pending::kGrace;
    } else if (IsOptionWord(arg, 'r')) {
      ++armed;  // the pending option stays as it was
    } else if (IsModeWord(arg, "service")) {
      settings.mode = Settings::Mode::kService;
    } else if (IsModeWord(arg, "install")) {
      settings.mode = Settings::Mode::kInstall;
    } else if (IsModeWord(arg, "uninstall")) {
      settings.mode = Settings::Mode::kUninstall;
    } else if (IsModeWord(arg, "operators")) {
      pending = Pending::kOperators;
    } else {
      // A value: it overwrites the pending setting, which stays pending.
      switch (pending) {
        case Pending::kNone: break;
        case Pending::kBindAddress: settings.bindAddress = Utf16ToGbk(arg); break;
        case Pending::kPort: settings.port = ParsePort(Utf16ToGbk(arg)); break;
        case Pending::kTitle: settings.windowTitle = Utf16ToGbk(arg); break;
        case Pending::kListPath: settings.listPath = arg; break;
        case Pending::kJournal: settings.journalPath = arg; break;
        case Pending::kMetrics: settings.metricsPath = arg; break;
        case Pending::kDumps: settings.dumpFolder = arg; break;
        case Pending::kOperators: settings.operators = arg; break;
        case Pending::kGrace: {
          // Plain digits only, as the seconds are written.
          const std::string text = Utf16ToGbk(arg);
          const bool digits = !text.empty() && text.size() <= 3 &&
                              text.find_first_not_of("0123456789") == std::string::npos;
          const int seconds = digits ? ParseDecimal(text) : -1;
          const bool taken = seconds >= 0 && seconds <= Settings::kMaxGraceSeconds;
          settings.graceSeconds = taken ? seconds : 0;
          settings.graceRejected = taken ? std::string() : text;
          break;
        }
      }
    }
  }
  return armed;
}
