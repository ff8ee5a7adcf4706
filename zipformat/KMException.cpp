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
constexpr std::array<std::pair<int32_t, int32_t>, kKMNativeCodeCount> kCodeMap = {{
    {0, 0},   {1, 1},   {2, 1},   {3, 1},   {4, 1},   {5, 2},   {6, 3},   {7, 1},   {8, 4},
    {9, 5},   {10, 5},  {11, 6},  {12, 6},  {13, 7},  {14, 7},  {15, 6},  {16, 1},  {17, 8},
    {18, 6},  {19, 9},  {20, 10}, {21, 1},  {22, 11}, {23, 9},  {24, 1},  {25, 11}, {26, 13},
    {27, 14}, {28, 15}, {29, 5},  {30, 6},  {31, 6},  {32, 16}, {33, 12}, {34, 17}, {35, 18},
    {36, 19}, {37, 20}, {38, 6},  {39, 21}, {40, 22}, {41, 23}, {42, 6},  {43, 23}, {44, 24},
    {45, 24}, {46, 25}, {47, 26}, {48, 27}, {49, 28}, {50, 29}, {51, 30}, {52, 31}, {53, 6},
    {54, 6},  {55, 32}, {56, 33}, {57, 27}, {58, 34}, {59, 34}, {60, 35}, {61, 36}, {62, 37},
}};

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

EKMException::EKMException(int32_t nativeCode, const IKMComponent* archiver)
    : Exception(KMComposeMessage(nativeCode, {}, false, NameOf(archiver))),
      nativeError_(nativeCode),
      errorCode_(KMErrorCodeOf(nativeCode)) {}

EKMException::EKMException(int32_t nativeCode, std::span<const TKMFormatArg> args,
                           const IKMComponent* archiver)
    : Exception(KMComposeMessage(nativeCode, args, true, NameOf(archiver))),
      nativeError_(nativeCode),
      errorCode_(KMErrorCodeOf(nativeCode)) {}

EKMException::EKMException(OwnText, int32_t nativeCode, const std::u16string& message)
    : Exception(message), nativeError_(nativeCode), errorCode_(KMErrorCodeOf(nativeCode)) {}

EKMException EKMException::WithText(int32_t nativeCode, std::u16string_view text,
                                    const IKMComponent* archiver) {
  return EKMException(OwnText{}, nativeCode,
                      ComposeText(nativeCode, std::u16string(text), NameOf(archiver)));
}

EKMException::EKMException(int32_t nativeCode, std::initializer_list<TKMFormatArg> args,
                           const IKMComponent* archiver)
    : EKMException(nativeCode, std::span<const TKMFormatArg>(args.begin(), args.size()), archiver) {
}

}  // namespace km
