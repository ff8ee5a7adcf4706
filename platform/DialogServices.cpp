#include "platform/DialogServices.h"

#include <atomic>

namespace km::platform {
namespace {

std::atomic<IDialogServices*> gServices{nullptr};

TModalResult DefaultAnswer(const MessageBoxRequest& request) {
  return ModalResultOf(DefaultButton(request.buttons));
}

}  // namespace

TModalResult ModalResultOf(TMsgDlgBtn button) {
  switch (button) {
    case mbYes:
      return mrYes;
    case mbNo:
      return mrNo;
    case mbOK:
      return mrOk;
    case mbCancel:
      return mrCancel;
    case mbAbort:
      return mrAbort;
    case mbRetry:
      return mrRetry;
    case mbIgnore:
      return mrIgnore;
    case mbAll:
      return mrAll;
    case mbNoToAll:
      return mrNoToAll;
    case mbYesToAll:
      return mrYesToAll;
    case mbHelp:
      break;  // Help shows help; it never closes the box
  }
  return mrNone;
}

TMsgDlgBtn DefaultButton(TMsgDlgButtons buttons) {
  for (TMsgDlgBtn preferred : {mbOK, mbYes, mbRetry}) {
    if (buttons.Contains(preferred)) return preferred;
  }
  for (int b = mbYes; b <= mbHelp; ++b) {
    if (buttons.Contains(TMsgDlgBtn(b))) return TMsgDlgBtn(b);
  }
  // A box without buttons still gets one to close it.
  return mbOK;
}

IDialogServices* SetDialogServices(IDialogServices* services) {
  return gServices.exchange(services);
}

IDialogServices* GetDialogServices() {
  return gServices.load();
}

TModalResult ShowMessageBox(const MessageBoxRequest& request) {
  if (IDialogServices* services = GetDialogServices()) return services->MessageBox(request);
  return DefaultAnswer(request);
}

bool ShowInputBox(const InputBoxRequest& request, std::u16string& value) {
  if (IDialogServices* services = GetDialogServices()) return services->InputBox(request, value);
  value = request.value;
  return true;
}

bool ShowSaveDialog(const SaveDialogRequest& request, std::u16string& fileName) {
  if (IDialogServices* services = GetDialogServices())
    return services->SaveDialog(request, fileName);
  return false;
}

bool ScriptedDialogServices::SaveDialog(const SaveDialogRequest& request,
                                        std::u16string& fileName) {
  saveDialogs_.push_back(request);
  if (saveAnswers_.empty()) return false;
  const InputAnswer answer = saveAnswers_.front();
  saveAnswers_.pop_front();
  if (answer.confirmed) fileName = answer.value;
  return answer.confirmed;
}

TModalResult ScriptedDialogServices::MessageBox(const MessageBoxRequest& request) {
  messageBoxes_.push_back(request);
  if (messageAnswers_.empty()) return DefaultAnswer(request);
  TModalResult answer = messageAnswers_.front();
  messageAnswers_.pop_front();
  return answer;
}

bool ScriptedDialogServices::InputBox(const InputBoxRequest& request, std::u16string& value) {
  inputBoxes_.push_back(request);
  if (inputAnswers_.empty()) {
    value = request.value;
    return true;
  }
  InputAnswer answer = std::move(inputAnswers_.front());
  inputAnswers_.pop_front();
  // A cancelled box leaves the caller's value alone, like InputQuery.
  if (answer.confirmed) value = std::move(answer.value);
  return answer.confirmed;
}

}  // namespace km::platform
