// libFuzzer target: arbitrary bytes opened as an archive file and every
// entry tested, as `pelko-cli test` does: local headers, decryption, inflate,
// the segmented layout and the checks after them. Failing entries are
// ignored and passwords skipped, so the whole directory is walked.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "archiver/Archiver.h"
#include "common/TempDir.h"
#include "platform/DialogServices.h"
#include "platform/HostPath.h"
#include "support/Exceptions.h"

namespace {

// Nobody answers: every question is declined, as pelko-cli does without a
// person, so that a request for a volume that is not there ends the open.
class DecliningDialogs : public km::platform::IDialogServices {
 public:
  km::platform::TModalResult MessageBox(const km::platform::MessageBoxRequest& request) override {
    using namespace km::platform;
    for (TMsgDlgBtn refusal : {mbCancel, mbAbort, mbNo})
      if (request.buttons.Contains(refusal)) return ModalResultOf(refusal);
    return ModalResultOf(DefaultButton(request.buttons));
  }
  bool InputBox(const km::platform::InputBoxRequest&, std::u16string&) override { return false; }
};

// The archiver opens files only: each input goes to one file in memory
// (/dev/shm when there is one), made once per process and removed at exit.
class InputFile {
 public:
  const std::filesystem::path& Write(const uint8_t* data, size_t size) {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), std::streamsize(size));
    return path_;
  }

 private:
  static std::filesystem::path Base() {
    return std::filesystem::is_directory("/dev/shm") ? std::filesystem::path("/dev/shm")
                                                     : std::filesystem::temp_directory_path();
  }

  km::test::TempDir dir_{Base()};
  std::filesystem::path path_ = dir_.Host() / "input.zip";
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static InputFile input;
  static DecliningDialogs dialogs;
  km::platform::SetDialogServices(&dialogs);

  km::TKavoMill archiver;
  archiver.SetFileName(km::ToWindowsView(input.Write(data, size)));
  archiver.OnProcessFileFailure =
      [](km::TKMBaseArchiver&, const std::u16string&, km::TKMProcessOperation, int32_t, int32_t,
         const std::u16string&, km::TKMAction& action) { action = km::fxaIgnore; };
  archiver.OnPassword = [](km::TKMBaseArchiver&, const std::u16string&, std::string&,
                           bool& skipFile) { skipFile = true; };
  try {
    archiver.OpenArchive(km::kOpenModeReadOnly);
    archiver.TestFiles(u"*.*", km::TKMOptions::kDefaultSearchAttr, u"");
  } catch (const km::Exception&) {
    // A clear error is a correct answer to bad input: a damaged directory,
    // or a read past the end that leaves the run.
  }
  archiver.CloseArchive();
  return 0;
}
