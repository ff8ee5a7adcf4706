#include "cli/ConsoleDialogs.h"

#include <cstdio>
#include <string>

#include "cli/ProgressLine.h"
#include "frontend/ArchiverSetup.h"
#include "platform/CodePage.h"
#include "platform/Console.h"

namespace km::cli {

using namespace km::platform;

namespace {

// Trims blanks around an answer, so that " q " is still q.
std::string Trimmed(const std::string& line) {
  const size_t first = line.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return line.substr(first, line.find_last_not_of(" \t") - first + 1);
}

// Asks the user to do what text says and to say when it is done.
TModalResult AskToGoOn(const std::string& text) {
  if (!StdinIsTerminal()) {
    std::fprintf(stderr, "pelko-cli: %s: no terminal to answer, cancelled\n", text.c_str());
    return mrCancel;
  }
  std::fprintf(stderr, "pelko-cli: %s\n", text.c_str());
  for (;;) {
    std::fputs("Press Enter to go on, or q and Enter to cancel: ", stderr);
    std::fflush(stderr);
    std::string line;
    if (!ReadLine(line)) {
      if (StopRequested()) {
        std::fputc('\n', stderr);
        return mrCancel;  // the run says it was interrupted
      }
      std::fputs("\npelko-cli: no answer, cancelled\n", stderr);
      return mrCancel;
    }
    const std::string answer = Trimmed(line);
    if (answer.empty()) return mrOk;
    if (answer == "q" || answer == "Q") return mrCancel;
  }
}

}  // namespace

TModalResult ConsoleDialogServices::MessageBox(const MessageBoxRequest& request) {
  ClearProgressLine();
  std::fflush(stdout);
  // The user is to find the file named: as the host spells it.
  if (request.buttons == TMsgDlgButtons{mbOK, mbCancel}) {
    ProgressPause pause;
    return AskToGoOn(WideToUtf8(pelko::HostPathsIn(request.text)));
  }
  std::fprintf(stderr, "pelko-cli: %s\n", WideToUtf8(request.text).c_str());
  for (TMsgDlgBtn refusal : {mbCancel, mbAbort, mbNo})
    if (request.buttons.Contains(refusal)) return ModalResultOf(refusal);
  return ModalResultOf(DefaultButton(request.buttons));
}

bool ConsoleDialogServices::InputBox(const InputBoxRequest& request, std::u16string& value) {
  if (!StdinIsTerminal()) return false;
  ProgressPause pause;
  std::fflush(stdout);
  std::string caption = WideToUtf8(request.caption);
  if (!caption.empty()) caption += ". ";
  std::fprintf(stderr, "%s%s", caption.c_str(), WideToUtf8(request.prompt).c_str());
  std::fflush(stderr);
  std::string line;
  if (!ReadSecretLine(line)) {
    std::fputc('\n', stderr);  // end of input left the cursor after the prompt
    return false;
  }
  if (line.empty()) return false;
  value = Utf8ToWide(line);
  return true;
}

}  // namespace km::cli
