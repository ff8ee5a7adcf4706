// The dialog services of the window: real Qt message boxes, input boxes and
// save-file dialogs.
#pragma once

#include <QString>

#include "platform/DialogServices.h"

namespace pelko {

class QtDialogServices : public km::platform::IDialogServices {
 public:
  km::platform::TModalResult MessageBox(const km::platform::MessageBoxRequest& request) override;
  // The component asks for nothing but passwords this way, so the text is
  // not shown as it is typed.
  bool InputBox(const km::platform::InputBoxRequest& request, std::u16string& value) override;
  // The chosen name as the host spells it. Choosing an existing archive is
  // the usual case (it is then updated), so nothing asks to overwrite it.
  bool SaveDialog(const km::platform::SaveDialogRequest& request,
                  std::u16string& fileName) override;
};

// "description|pattern|..." as Qt's filter list ("description (pattern);;...").
QString QtFilterOf(const std::u16string& filter);

}  // namespace pelko
