#include "support/Exceptions.h"

#include "platform/CodePage.h"
#include "platform/FileSystem.h"

namespace km {

Exception::Exception(const std::u16string& message)
    : std::runtime_error(platform::WideToUtf8(message)), message_(message) {}

std::u16string SysErrorMessage(int errorCode) {
  using namespace km::platform;
  switch (errorCode) {
    case kErrorSuccess:
      return u"The operation completed successfully.";
    case kErrorFileNotFound:
      return u"The system cannot find the file specified.";
    case kErrorPathNotFound:
      return u"The system cannot find the path specified.";
    case kErrorAccessDenied:
      return u"Access is denied.";
    case kErrorInvalidHandle:
      return u"The handle is invalid.";
    case kErrorNotEnoughMemory:
      return u"Not enough storage is available to process this command.";
    case kErrorNoMoreFiles:
      return u"There are no more files.";
    case kErrorWriteFault:
      return u"The system cannot write to the specified device.";
    case kErrorReadFault:
      return u"The system cannot read from the specified device.";
    case kErrorGenFailure:
      return u"A device attached to the system is not functioning.";
    case kErrorSharingViolation:
      return u"The process cannot access the file because it is being used by another process.";
    case kErrorFileExists:
      return u"The file exists.";
    case kErrorInvalidParameter:
      return u"The parameter is incorrect.";
    case kErrorDiskFull:
      return u"There is not enough space on the disk.";
    case kErrorInvalidName:
      return u"The filename, directory name, or volume label syntax is incorrect.";
    case kErrorDirNotEmpty:
      return u"The directory is not empty.";
    case kErrorAlreadyExists:
      return u"Cannot create a file when that file already exists.";
    case kErrorFilenameTooLong:
      return u"The filename or extension is too long.";
    default: {
      std::string digits = std::to_string(errorCode);
      return u"System error.  Code: " + std::u16string(digits.begin(), digits.end()) + u".";
    }
  }
}

}  // namespace km
