#include "zipformat/KMException.h"

#include <array>
#include <charconv>
#include <utility>

namespace km {

namespace {

// Indexed by error code.
constexpr std::array<std::u16string_view, kKMMessageCount> kMessages = {
    u"Unknown error",
    u"Index out of bounds",
    u"Invalid compression mode. Mode must be in [0-9] range",
    u"Unexpected nil pointer",
    u"Invalid size or check sum of file or unsupported compression format",
    u"File name is blank. Specify appropriate file name",
    u"File \"%s\" not found",
    u"Archive is not open",
    u"SFXStub property is not specified",
    u"Cannot create file \"%s\"",
    u"Cannot create directory \"%s\"",
    u"Internal error. Update is not started",
    u"Cannot open file \"%s\"",
    u"Cannot proceed when update is not ended. Preceding EndUpdate call is required.",
    u"Cannot delete file \"%s\"",
    u"In-memory archive can be created only",
    u"File is open in read-only mode",
    u"Invalid compressed size, rfs.size = %d, count = %d",
    u"Invalid archive file.",
    u"Cannot create output file. Probably file is locked by another process. FileName = '%s'.",
    u"Archive is open. You should close it beore performing this operation.",
    u"Unable to create directory",
    u"Cannot find Zip64 directory end record",
    u"Cannot compress file '%s'. Zip64 mode is not enabled",
    u"Cannot open archive file. Opening aborted or invalid file",
    u"Write to stream error",
    u"Cannot place SFX stub on volume. Volume size limit is too small",
    u"Archive is damaged. Open failed",
    u"MakeSFX is not allowed for splitted or spanned archives. Set SFXStub before archive "
    u"creation instead of MakeSFX",
    u"Archive already has SFX stub",
    u"Multi-volume archive is not allowed for custom stream",
    u"Multi-spanned archive is not allowed for modification. Use BeginUpdate/EndUpdate methods "
    u"to add files several times",
    u"Deflate64 compression method is not supported",
    u"MakeSFX error",
    u"Hashed list of file names is invalid",
    u"Cannot delete folder \"%s\"",
    u"File name is too long: \r\n\"%s\"",
    u"Multiple transactions are not supported for multi-volume archives",
};

// (native code, error code), searched in order. Several raising sites share a
// message; the native code tells them apart.
constexpr std::array<std::pair<TKMNativeCode, int32_t>, kKMNativeCodeCount> kCodeMap = {{
    {kmeUnknown, 0},
    {kmeDirSetIndex, 1},
    {kmeDirGetIndex, 1},
    {kmeDirItemIndex, 1},
    {kmeDirDeleteIndex, 1},
    {kmeCompressionMode, 2},
    {kmeNoTempStream, 3},
    {kmeRebuildIndex, 1},
    {kmeEntryCorrupt, 4},
    {kmeOpenBlankName, 5},
    {kmeCreateBlankName, 5},
    {kmeFileNotFound11, 6},
    {kmeArchiveNotFound, 6},
    {kmeArchiveNotOpen, 7},
    {kmeArchiveNotOpen14, 7},
    {kmeFileNotFound15, 6},
    {kmeExtractIndex, 1},
    {kmeNoSfxStub, 8},
    {kmeFileNotFound18, 6},
    {kmeCannotCreateOutput, 9},
    {kmeCannotCreateOutputDir, 10},
    {kmeDeleteIndex, 1},
    {kmeDeleteOutsideUpdate, 11},
    {kmeCannotCreateFile23, 9},
    {kmeUpdateIndex, 1},
    {kmeUpdateOutsideUpdate, 11},
    {kmeInUpdate, 13},
    {kmeCannotDeleteSource, 14},
    {kmeInMemoryOpen, 15},
    {kmeInMemoryBlankName, 5},
    {kmeFileNotFound30, 6},
    {kmeFileNotFound31, 6},
    {kmeReadOnly, 16},
    {kmeCannotOpenSource, 12},
    {kmeCompressedSize, 17},
    {kmeInvalidArchive, 18},
    {kmeOutputFileLocked, 19},
    {kmeArchiveIsOpen, 20},
    {kmeFileNotFound38, 6},
    {kmeCannotCreateDir39, 21},
    {kmeNoZip64End, 22},
    {kmeZip64DisabledData, 23},
    {kmeFileNotFound42, 6},
    {kmeZip64DisabledHeader, 23},
    {kmeSpannedNoDirectory, 24},
    {kmeVolumeRequestCancelled, 24},
    {kmeWriteError, 25},
    {kmeStubTooLarge, 26},
    {kmeArchiveDamaged, 27},
    {kmeMakeSfxOnVolumes, 28},
    {kmeHasSfxStub, 29},
    {kmeVolumesOnCustomStream, 30},
    {kmeSpannedModify, 31},
    {kmeFileNotFound53, 6},
    {kmeFileNotFound54, 6},
    {kmeDeflate64, 32},
    {kmeMakeSfx, 33},
    {kmeDataBeyondEnd, 27},
    {kmeNameIndexShort, 34},
    {kmeNameIndexMismatch, 34},
    {kmeCannotDeleteSourceDir, 35},
    {kmeNameTooLong, 36},
    {kmeSecondTransaction, 37},
}};

// The map holds every code once, in order, so that a code is its own row.
constexpr bool CodeMapInOrder() {
  for (size_t i = 0; i < kCodeMap.size(); ++i)
    if (kCodeMap[i].first != int32_t(i)) return false;
  return true;
}
static_assert(CodeMapInOrder());

void AppendInt(std::u16string& out, int64_t value) {
  char buf[32];
  auto result = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, result.ptr);
}

// "%5d" with its padding spaces turned into zeros: 13 -> "00013", -1 -> "000-1";
// wider numbers keep all their digits.
std::u16string NativeNumber(int32_t nativeCode) {
  std::u16string digits;
  AppendInt(digits, nativeCode);
  if (digits.size() < 5) digits.insert(0, 5 - digits.size(), u'0');
  return digits;
}

}  // namespace

std::u16string KMFormat(std::u16string_view pattern, std::span<const TKMFormatArg> args) {
  std::u16string out;
  out.reserve(pattern.size());
  size_t next = 0;
  for (size_t i = 0; i < pattern.size(); ++i) {
    const char16_t c = pattern[i];
    if (c != u'%' || i + 1 >= pattern.size()) {
      out += c;
      continue;
    }
    const char16_t conversion = pattern[i + 1];
    if (conversion == u'%') {
      out += u'%';
      ++i;
    } else if (conversion == u's' || conversion == u'd') {
      ++i;
      if (next >= args.size()) {
        if (conversion == u'd') out += u'0';
        continue;
      }
      const TKMFormatArg& arg = args[next++];
      if (const auto* text = std::get_if<std::u16string>(&arg)) {
        out += *text;
      } else {
        AppendInt(out, std::get<int64_t>(arg));
      }
    } else {
      out += c;
    }
  }
  return out;
}

std::u16string KMFormat(std::u16string_view pattern, std::initializer_list<TKMFormatArg> args) {
  return KMFormat(pattern, std::span<const TKMFormatArg>(args.begin(), args.size()));
}

int32_t KMErrorCodeOf(int32_t nativeCode) {
  for (const auto& [native, error] : kCodeMap)
    if (native == nativeCode) return error;
  return 0;
}

std::u16string_view KMErrorMessage(int32_t errorCode) {
  if (errorCode < 0 || errorCode >= kKMMessageCount) return kMessages[0];
  return kMessages[size_t(errorCode)];
}

namespace {
std::u16string ComposeText(int32_t nativeCode, std::u16string text,
                           std::u16string_view componentName) {
  if (!componentName.empty()) text = std::u16string(componentName) + u": " + text;
  return text + u" - Native error: " + NativeNumber(nativeCode);
}
}  // namespace

std::u16string KMComposeMessage(int32_t nativeCode, std::span<const TKMFormatArg> args,
                                bool withArgs, std::u16string_view componentName) {
  const std::u16string_view pattern = KMErrorMessage(KMErrorCodeOf(nativeCode));
  return ComposeText(nativeCode, withArgs ? KMFormat(pattern, args) : std::u16string(pattern),
                     componentName);
}

namespace {
std::u16string_view NameOf(const IKMComponent* archiver) {
  return archiver ? std::u16string_view(archiver->Name()) : std::u16string_view();
}
}  // namespace

EKMException::EKMException(TKMNativeCode nativeCode, const IKMComponent* archiver)
    : Exception(KMComposeMessage(nativeCode, {}, false, NameOf(archiver))),
      nativeError_(nativeCode),
      errorCode_(KMErrorCodeOf(nativeCode)) {}

EKMException::EKMException(TKMNativeCode nativeCode, std::span<const TKMFormatArg> args,
                           const IKMComponent* archiver)
    : Exception(KMComposeMessage(nativeCode, args, true, NameOf(archiver))),
      nativeError_(nativeCode),
      errorCode_(KMErrorCodeOf(nativeCode)) {}

EKMException::EKMException(OwnText, TKMNativeCode nativeCode, const std::u16string& message)
    : Exception(message), nativeError_(nativeCode), errorCode_(KMErrorCodeOf(nativeCode)) {}

EKMException EKMException::WithText(TKMNativeCode nativeCode, std::u16string_view text,
                                    const IKMComponent* archiver) {
  return EKMException(OwnText{}, nativeCode,
                      ComposeText(nativeCode, std::u16string(text), NameOf(archiver)));
}

EKMException::EKMException(TKMNativeCode nativeCode, std::initializer_list<TKMFormatArg> args,
                           const IKMComponent* archiver)
    : EKMException(nativeCode, std::span<const TKMFormatArg>(args.begin(), args.size()), archiver) {
}

}  // namespace km
