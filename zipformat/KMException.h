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

// The native codes: one per raising site, so that a failure names the place
// that raised it even where several sites share a message. The numbers are
// what callers and handlers see; never renumber them. Codes marked unused
// keep their message but nothing raises them. A damaged archive (35, 40, 44,
// 57) is raised without a component: the fault is the file's, not the
// archiver's, so its message carries no name.
enum TKMNativeCode : int32_t {
  kmeUnknown = 0,
  // The directory array, an index out of range.
  kmeDirSetIndex = 1,   // SetCount, SetItem
  kmeDirGetIndex = 2,   // GetItem, RenameItem
  kmeDirItemIndex = 3,  // ItemPtr
  kmeDirDeleteIndex = 4,
  kmeCompressionMode = 5,
  kmeNoTempStream = 6,  // the rebuild lost the copy of the old tail
  kmeRebuildIndex = 7,  // the rebuild cannot find an old entry or its data
  kmeEntryCorrupt = 8,  // entry data fails its size or CRC check
  kmeOpenBlankName = 9,
  kmeCreateBlankName = 10,
  kmeFileNotFound11 = 11,  // unused
  kmeArchiveNotFound = 12,
  kmeArchiveNotOpen = 13,
  kmeArchiveNotOpen14 = 14,       // unused
  kmeFileNotFound15 = 15,         // unused
  kmeExtractIndex = 16,           // extracting or testing an entry index out of range
  kmeNoSfxStub = 17,              // unused
  kmeFileNotFound18 = 18,         // unused
  kmeCannotCreateOutput = 19,     // extraction's output file
  kmeCannotCreateOutputDir = 20,  // extraction's output folder
  kmeDeleteIndex = 21,
  kmeDeleteOutsideUpdate = 22,
  kmeCannotCreateFile23 = 23,  // unused
  kmeUpdateIndex = 24,
  kmeUpdateOutsideUpdate = 25,
  kmeInUpdate = 26,
  kmeCannotDeleteSource = 27,  // a moved source file stays
  kmeInMemoryOpen = 28,        // an in-memory archive can only be created
  kmeInMemoryBlankName = 29,   // leaving memory for a file without a name
  kmeFileNotFound30 = 30,      // unused
  kmeFileNotFound31 = 31,      // unused
  kmeReadOnly = 32,
  kmeCannotOpenSource = 33,
  kmeCompressedSize = 34,       // the source ran short while compressing
  kmeInvalidArchive = 35,       // not one local header to recover from
  kmeOutputFileLocked = 36,     // unused
  kmeArchiveIsOpen = 37,        // unused
  kmeFileNotFound38 = 38,       // unused
  kmeCannotCreateDir39 = 39,    // unused
  kmeNoZip64End = 40,           // the locator points at no Zip64 end record
  kmeZip64DisabledData = 41,    // sizes need Zip64, found after compressing
  kmeFileNotFound42 = 42,       // unused
  kmeZip64DisabledHeader = 43,  // the local header needs Zip64
  kmeSpannedNoDirectory = 44,   // a multi-volume archive cannot be scanned
  kmeVolumeRequestCancelled = 45,
  kmeWriteError = 46,             // a volume took fewer bytes than written
  kmeStubTooLarge = 47,           // the stub does not fit the first volume
  kmeArchiveDamaged = 48,         // no end record
  kmeMakeSfxOnVolumes = 49,       // unused
  kmeHasSfxStub = 50,             // unused
  kmeVolumesOnCustomStream = 51,  // unused
  kmeSpannedModify = 52,          // a multi-volume archive outside a transaction
  kmeFileNotFound53 = 53,         // unused
  kmeFileNotFound54 = 54,         // unused
  kmeDeflate64 = 55,
  kmeMakeSfx = 56,                // unused
  kmeDataBeyondEnd = 57,          // the entries claim more data than the file holds
  kmeNameIndexShort = 58,         // the name index lacks lines for earlier items
  kmeNameIndexMismatch = 59,      // the name index names another item
  kmeCannotDeleteSourceDir = 60,  // a moved source folder stays
  kmeNameTooLong = 61,
  kmeSecondTransaction = 62,  // on a multi-volume archive
};

// The error code of a native code: its message index, 0 when unknown.
int32_t KMErrorCodeOf(int32_t nativeCode);
// The message template of an error code; "Unknown error" out of range.
std::u16string_view KMErrorMessage(int32_t errorCode);

class EKMException : public Exception {
 public:
  // archiver may be null: the message then has no name prefix.
  EKMException(TKMNativeCode nativeCode, const IKMComponent* archiver);
  EKMException(TKMNativeCode nativeCode, std::span<const TKMFormatArg> args,
               const IKMComponent* archiver);
  EKMException(TKMNativeCode nativeCode, std::initializer_list<TKMFormatArg> args,
               const IKMComponent* archiver);

  // A site that knows more than the table's words (what the system said,
  // what happened to a file): its own text, composed as the table's are,
  // with the name prefix and the native number.
  static EKMException WithText(TKMNativeCode nativeCode, std::u16string_view text,
                               const IKMComponent* archiver);

  int32_t NativeError() const { return nativeError_; }
  int32_t ErrorCode() const { return errorCode_; }

 private:
  struct OwnText {};
  EKMException(OwnText, TKMNativeCode nativeCode, const std::u16string& message);

  int32_t nativeError_;
  int32_t errorCode_;
};

// The composed message of a native code, as the exception carries it.
std::u16string KMComposeMessage(int32_t nativeCode, std::span<const TKMFormatArg> args,
                                bool withArgs, std::u16string_view componentName);

}  // namespace km
