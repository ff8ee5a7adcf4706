// The dialog services of pelko-cli: questions are asked on the terminal when
// a person can answer them, and answered "no" when nobody can.
#pragma once

#include "platform/DialogServices.h"

namespace km::cli {

class ConsoleDialogServices : public platform::IDialogServices {
 public:
  // A box with OK and Cancel asks the user to do something first (insert a
  // disk, make room on one): its text is shown with a prompt on the
  // terminal, Enter answers OK and "q" Cancel. Without a terminal, or at
  // end of input, it is cancelled and stderr says so.
  // Any other box is shown on stderr and, since nobody is asked, answered
  // the way that ends a wait: Cancel, Abort or No when the box has one.
  // Pressing the default button for a volume that is not there would ask
  // forever.
  platform::TModalResult MessageBox(const platform::MessageBoxRequest& request) override;
  // Asked on the terminal with echo off: the component asks for nothing
  // but passwords this way. Declined without a terminal, at end of input
  // and for an empty line.
  bool InputBox(const platform::InputBoxRequest& request, std::u16string& value) override;
};

}  // namespace km::cli
