// The archiver's exception: a native code (which raising site), an error code
// (which message) and the composed message. It lives below the archiver so
// that the directory and volume code can raise it too; the archiver is seen
// here only as a named component.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "support/Exceptions.h"

namespace km {

// What an exception needs of the component that raises it: the name that
// prefixes its message. The archiver implements it.
class IKMComponent {
 public:
  virtual const std::u16string& Name() const = 0;

 protected:
  ~IKMComponent() = default;
};

// One argument of a message template: %s takes text, %d an integer.
using TKMFormatArg = std::variant<std::u16string, int64_t>;

// Fills a template with arguments. Only %s, %d and %% are recognised; a
// missing argument gives empty text or 0, a mismatched one is printed as what
// it is, and any other '%' sequence is copied as it stands.
std::u16string KMFormat(std::u16string_view pattern, std::span<const TKMFormatArg> args);
std::u16string KMFormat(std::u16string_view pattern, std::initializer_list<TKMFormatArg> args);

inline constexpr int32_t kKMMessageCount = 38;
inline constexpr int32_t kKMNativeCodeCount = 63;

// The error code of a native code: its message index, 0 when unknown.
int32_t KMErrorCodeOf(int32_t nativeCode);
// The message template of an error code; "Unknown error" out of range.
std::u16string_view KMErrorMessage(int32_t errorCode);

class EKMException : public Exception {
 public:
  // archiver may be null: the message then has no name prefix.
  EKMException(int32_t nativeCode, const IKMComponent* archiver);
  EKMException(int32_t nativeCode, std::span<const TKMFormatArg> args,
               const IKMComponent* archiver);
  EKMException(int32_t nativeCode, std::initializer_list<TKMFormatArg> args,
               const IKMComponent* archiver);

  // A site that knows more than the table's words (what the system said,
  // what happened to a file): its own text, composed as the table's are,
  // with the name prefix and the native number.
  static EKMException WithText(int32_t nativeCode, std::u16string_view text,
                               const IKMComponent* archiver);

  int32_t NativeError() const { return nativeError_; }
  int32_t ErrorCode() const { return errorCode_; }

 private:
  struct OwnText {};
  EKMException(OwnText, int32_t nativeCode, const std::u16string& message);

  int32_t nativeError_;
  int32_t errorCode_;
};

// The composed message of a native code, as the exception carries it.
std::u16string KMComposeMessage(int32_t nativeCode, std::span<const TKMFormatArg> args,
                                bool withArgs, std::u16string_view componentName);

}  // namespace km
