#include "platform/DialogServices.h"

#include <gtest/gtest.h>

namespace km::platform {
namespace {

TEST(DialogServicesTest, DefaultButtonOfCommonSets) {
  EXPECT_EQ(DefaultButton({mbYes, mbNo, mbNoToAll, mbYesToAll}), mbYes);
  EXPECT_EQ(DefaultButton({mbAbort, mbRetry, mbIgnore}), mbRetry);
  EXPECT_EQ(DefaultButton({mbAbort, mbIgnore}), mbAbort);
  EXPECT_EQ(DefaultButton({mbOK, mbCancel}), mbOK);
  EXPECT_EQ(DefaultButton({mbYes, mbOK}), mbOK);
  EXPECT_EQ(DefaultButton({mbHelp, mbIgnore}), mbIgnore);
  EXPECT_EQ(DefaultButton({}), mbOK);
}

TEST(DialogServicesTest, ModalResults) {
  EXPECT_EQ(ModalResultOf(mbOK), mrOk);
  EXPECT_EQ(ModalResultOf(mbYes), mrYes);
  EXPECT_EQ(ModalResultOf(mbNo), mrNo);
  EXPECT_EQ(ModalResultOf(mbCancel), mrCancel);
  EXPECT_EQ(ModalResultOf(mbAbort), mrAbort);
  EXPECT_EQ(ModalResultOf(mbRetry), mrRetry);
  EXPECT_EQ(ModalResultOf(mbIgnore), mrIgnore);
  EXPECT_EQ(ModalResultOf(mbAll), mrAll);
  EXPECT_EQ(ModalResultOf(mbNoToAll), mrNoToAll);
  EXPECT_EQ(ModalResultOf(mbYesToAll), mrYesToAll);
  EXPECT_EQ(ModalResultOf(mbHelp), mrNone);
}

TEST(DialogServicesTest, NothingInstalledAnswersWithTheDefaultButton) {
  ScopedDialogServices none(nullptr);
  MessageBoxRequest box;
  box.buttons = {mbAbort, mbRetry, mbIgnore};
  EXPECT_EQ(ShowMessageBox(box), mrRetry);
  box.buttons = {mbOK, mbCancel};
  EXPECT_EQ(ShowMessageBox(box), mrOk);

  std::u16string value = u"stale";
  EXPECT_TRUE(ShowInputBox({u"Caption", u"Prompt", u"start"}, value));
  EXPECT_EQ(value, u"start");
}

TEST(DialogServicesTest, ScriptedAnswersAreConsumedInOrderAndLogged) {
  ScriptedDialogServices script;
  script.AddAnswer(mrCancel);
  script.AddAnswer(mrIgnore);
  script.AddInputAnswer(true, u"typed");
  script.AddInputAnswer(false);
  {
    ScopedDialogServices installed(&script);
    EXPECT_EQ(GetDialogServices(), &script);

    MessageBoxRequest box{u"Вы действительно хотите создать архив?",
                          u"Создание архива",
                          mtWarning,
                          {mbOK, mbCancel},
                          true};
    EXPECT_EQ(ShowMessageBox(box), mrCancel);
    box.buttons = {mbAbort, mbRetry, mbIgnore};
    EXPECT_EQ(ShowMessageBox(box), mrIgnore);
    // The script is used up: the default button from now on.
    EXPECT_EQ(ShowMessageBox(box), mrRetry);

    std::u16string value;
    EXPECT_TRUE(ShowInputBox({u"Disk", u"Label", u"old"}, value));
    EXPECT_EQ(value, u"typed");
    value = u"kept";
    EXPECT_FALSE(ShowInputBox({u"Disk", u"Label", u"old"}, value));
    EXPECT_EQ(value, u"kept");
    EXPECT_TRUE(ShowInputBox({u"Disk", u"Label", u"old"}, value));
    EXPECT_EQ(value, u"old");
  }
  EXPECT_EQ(GetDialogServices(), nullptr);

  ASSERT_EQ(script.MessageBoxes().size(), 3u);
  EXPECT_EQ(script.MessageBoxes()[0].text, u"Вы действительно хотите создать архив?");
  EXPECT_EQ(script.MessageBoxes()[0].caption, u"Создание архива");
  EXPECT_EQ(script.MessageBoxes()[0].type, mtWarning);
  EXPECT_EQ(script.MessageBoxes()[0].buttons, TMsgDlgButtons({mbOK, mbCancel}));
  EXPECT_TRUE(script.MessageBoxes()[0].owned);
  EXPECT_EQ(script.MessageBoxes()[2].buttons, TMsgDlgButtons({mbAbort, mbRetry, mbIgnore}));
  ASSERT_EQ(script.InputBoxes().size(), 3u);
  EXPECT_EQ(script.InputBoxes()[1].prompt, u"Label");
  script.ClearLog();
  EXPECT_TRUE(script.MessageBoxes().empty());
  EXPECT_TRUE(script.InputBoxes().empty());
}

TEST(DialogServicesTest, ScopesNestAndRestore) {
  ScriptedDialogServices outer, inner;
  ScopedDialogServices a(&outer);
  {
    ScopedDialogServices b(&inner);
    ShowMessageBox({});
  }
  ShowMessageBox({});
  EXPECT_EQ(inner.MessageBoxes().size(), 1u);
  EXPECT_EQ(outer.MessageBoxes().size(), 1u);
}

}  // namespace
}  // namespace km::platform
