// Message boxes and input boxes as a process-wide service, like the Windows
// API functions they stand for. The Qt dialog installs real dialogs,
// pelko-cli console prompts, tests scripted answers. With nothing installed
// a call answers as a user pressing the default button would.
#pragma once

#include <cstdint>
#include <deque>
#include <initializer_list>
#include <string>
#include <vector>

namespace km::platform {

enum TMsgDlgType : uint8_t { mtWarning, mtError, mtInformation, mtConfirmation, mtCustom };

enum TMsgDlgBtn : uint8_t {
  mbYes,
  mbNo,
  mbOK,
  mbCancel,
  mbAbort,
  mbRetry,
  mbIgnore,
  mbAll,
  mbNoToAll,
  mbYesToAll,
  mbHelp
};

// A set of buttons, one bit per TMsgDlgBtn.
class TMsgDlgButtons {
 public:
  constexpr TMsgDlgButtons() = default;
  constexpr TMsgDlgButtons(std::initializer_list<TMsgDlgBtn> buttons) {
    for (TMsgDlgBtn b : buttons) bits_ |= uint16_t(1u << b);
  }
  constexpr bool Contains(TMsgDlgBtn b) const { return (bits_ >> b) & 1u; }
  constexpr uint16_t Bits() const { return bits_; }
  constexpr bool operator==(const TMsgDlgButtons&) const = default;

 private:
  uint16_t bits_ = 0;
};

enum TModalResult : int {
  mrNone = 0,
  mrOk = 1,
  mrCancel = 2,
  mrAbort = 3,
  mrRetry = 4,
  mrIgnore = 5,
  mrYes = 6,
  mrNo = 7,
  mrAll = 8,
  mrNoToAll = 9,
  mrYesToAll = 10
};

TModalResult ModalResultOf(TMsgDlgBtn button);
// The button a user gets by pressing Enter: OK, else Yes, else Retry, else
// the first button of the set.
TMsgDlgBtn DefaultButton(TMsgDlgButtons buttons);

struct MessageBoxRequest {
  std::u16string text;
  std::u16string caption;  // empty: the application's title
  TMsgDlgType type = mtInformation;
  TMsgDlgButtons buttons{mbOK};
  bool owned = false;         // owned by the application's window
  bool blankCaption = false;  // no title at all, not even the application's
};

struct InputBoxRequest {
  std::u16string caption;
  std::u16string prompt;
  std::u16string value;  // the text the box starts with
};

// A save-file dialog. The filter is "description|pattern[|description|pattern...]".
struct SaveDialogRequest {
  std::u16string title;  // empty: the platform's own
  std::u16string filter;
  std::u16string fileName;  // the name the dialog starts with
};

class IDialogServices {
 public:
  virtual ~IDialogServices() = default;
  virtual TModalResult MessageBox(const MessageBoxRequest& request) = 0;
  // True when confirmed; value then holds the text entered.
  virtual bool InputBox(const InputBoxRequest& request, std::u16string& value) = 0;
  // True when a file was chosen; fileName then holds it as the host shows
  // paths to its users. Front ends without such a dialog decline.
  virtual bool SaveDialog(const SaveDialogRequest& request, std::u16string& fileName) {
    (void)request;
    (void)fileName;
    return false;
  }
};

// Installs the process-wide services (nullptr: none); returns the previous ones.
IDialogServices* SetDialogServices(IDialogServices* services);
IDialogServices* GetDialogServices();

TModalResult ShowMessageBox(const MessageBoxRequest& request);
bool ShowInputBox(const InputBoxRequest& request, std::u16string& value);
// With nothing installed nobody can choose a file: declined.
bool ShowSaveDialog(const SaveDialogRequest& request, std::u16string& fileName);

// Answers from a script and records every request, for tests and for
// non-interactive runs. With the script empty it answers like nothing
// installed: the default button, or the input box confirmed unchanged.
class ScriptedDialogServices : public IDialogServices {
 public:
  struct InputAnswer {
    bool confirmed = true;
    std::u16string value;
  };

  void AddAnswer(TModalResult result) { messageAnswers_.push_back(result); }
  void AddInputAnswer(bool confirmed, std::u16string value = {}) {
    inputAnswers_.push_back({confirmed, std::move(value)});
  }
  // The file chosen in the next save dialog; without an answer it is declined.
  void AddSaveAnswer(bool confirmed, std::u16string fileName = {}) {
    saveAnswers_.push_back({confirmed, std::move(fileName)});
  }

  TModalResult MessageBox(const MessageBoxRequest& request) override;
  bool InputBox(const InputBoxRequest& request, std::u16string& value) override;
  bool SaveDialog(const SaveDialogRequest& request, std::u16string& fileName) override;

  const std::vector<MessageBoxRequest>& MessageBoxes() const { return messageBoxes_; }
  const std::vector<InputBoxRequest>& InputBoxes() const { return inputBoxes_; }
  const std::vector<SaveDialogRequest>& SaveDialogs() const { return saveDialogs_; }
  void ClearLog() {
    messageBoxes_.clear();
    inputBoxes_.clear();
    saveDialogs_.clear();
  }

 private:
  std::deque<TModalResult> messageAnswers_;
  std::deque<InputAnswer> inputAnswers_;
  std::deque<InputAnswer> saveAnswers_;
  std::vector<SaveDialogRequest> saveDialogs_;
  std::vector<MessageBoxRequest> messageBoxes_;
  std::vector<InputBoxRequest> inputBoxes_;
};

// Installs services for a scope and restores the previous ones.
class ScopedDialogServices {
 public:
  explicit ScopedDialogServices(IDialogServices* services)
      : previous_(SetDialogServices(services)) {}
  ~ScopedDialogServices() { SetDialogServices(previous_); }
  ScopedDialogServices(const ScopedDialogServices&) = delete;
  ScopedDialogServices& operator=(const ScopedDialogServices&) = delete;

 private:
  IDialogServices* previous_;
};

}  // namespace km::platform
