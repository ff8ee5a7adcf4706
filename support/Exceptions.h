// The exception classes below the archiver. Messages are UTF-16 like every
// text inside the component; what() gives them as UTF-8.
#pragma once

#include <stdexcept>
#include <string>

namespace km {

// The base of every exception the component raises (a plain run-time error
// when thrown as itself).
class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::u16string& message);
  const std::u16string& Message() const { return message_; }

 private:
  std::u16string message_;
};

// The host's text for a (Windows) error code, as FormatMessage gives it,
// without a trailing newline: "Access is denied." and the like.
std::u16string SysErrorMessage(int errorCode);

class EStreamError : public Exception {
 public:
  using Exception::Exception;
  // systemError: the platform's code for what failed, 0 when none is known.
  EStreamError(const std::u16string& message, int systemError)
      : Exception(message), systemError_(systemError) {}
  int SystemError() const { return systemError_; }

 private:
  int systemError_ = 0;
};
class EReadError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
class EWriteError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
class EFOpenError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
class EFCreateError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};

}  // namespace km
