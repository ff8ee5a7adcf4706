#include "cli/ConsoleDialogs.h"

#include <cstdio>
#include <string>

#include "platform/CodePage.h"
#include "platform/Console.h"

namespace km::cli {

using namespace km::platform;

TModalResult ConsoleDialogServices::MessageBox(const MessageBoxRequest& request) {
  std::fflush(stdout);
  std::fprintf(stderr, "pelko-cli: %s\n", WideToUtf8(request.text).c_str());
  for (TMsgDlgBtn refusal : {mbCancel, mbAbort, mbNo})
    if (request.buttons.Contains(refusal)) return ModalResultOf(refusal);
  return ModalResultOf(DefaultButton(request.buttons));
}

bool ConsoleDialogServices::InputBox(const InputBoxRequest& request, std::u16string& value) {
  if (!StdinIsTerminal()) return false;
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
