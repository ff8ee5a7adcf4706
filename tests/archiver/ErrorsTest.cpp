#include <gtest/gtest.h>

#include "archiver/Archiver.h"
#include "archiver/Errors.h"
#include "platform/CodePage.h"

namespace km {
namespace {

std::u16string MessageOf(const EKMException& e) {
  return e.Message();
}

TEST(EKMException, ComposesNamePrefixTextAndNativeNumber) {
  TKavoMill archiver;
  archiver.SetName(u"Archiver");
  EKMException e(kmeArchiveNotOpen, &archiver);
  EXPECT_EQ(MessageOf(e), u"Archiver: Archive is not open - Native error: 00013");
  EXPECT_STREQ(e.what(), "Archiver: Archive is not open - Native error: 00013");
  EXPECT_EQ(e.NativeError(), 13);
  EXPECT_EQ(e.ErrorCode(), 7);

  // No prefix for an unnamed archiver, nor for a site that passes none.
  TKavoMill unnamed;
  EXPECT_EQ(MessageOf(EKMException(kmeArchiveNotOpen, &unnamed)),
            u"Archive is not open - Native error: 00013");
  EXPECT_EQ(MessageOf(EKMException(kmeSecondTransaction, nullptr)),
            u"Multiple transactions are not supported for multi-volume archives - Native "
            u"error: 00062");

  // Arguments fill the template; a template without a placeholder drops them.
  EXPECT_EQ(MessageOf(EKMException(kmeArchiveNotFound, {u"C:\\arc\\data.zip"}, &archiver)),
            u"Archiver: File \"C:\\arc\\data.zip\" not found - Native error: 00012");
  EXPECT_EQ(MessageOf(EKMException(kmeInMemoryOpen, {u"C:\\arc\\data.zip"}, &archiver)),
            u"Archiver: In-memory archive can be created only - Native error: 00028");
  // Without the argument form the template is used as it stands.
  EXPECT_EQ(MessageOf(EKMException(kmeArchiveNotFound, nullptr)),
            u"File \"%s\" not found - Native error: 00012");

  // Non-ASCII text reaches what() as UTF-8.
  archiver.SetName(u"Архив");
  EKMException cyr(kmeCannotOpenSource, {u"файл.txt"}, &archiver);
  EXPECT_EQ(std::string(cyr.what()), platform::WideToUtf8(cyr.Message()));
}

TEST(EKMException, UnknownAndOddNativeCodes) {
  for (int code : {0, 63, 100}) {
    EKMException e(TKMNativeCode(code), nullptr);
    EXPECT_EQ(e.ErrorCode(), 0) << code;
    EXPECT_EQ(e.NativeError(), code);
  }
  EXPECT_EQ(MessageOf(EKMException(TKMNativeCode(0), nullptr)),
            u"Unknown error - Native error: 00000");
  EXPECT_EQ(MessageOf(EKMException(TKMNativeCode(63), nullptr)),
            u"Unknown error - Native error: 00063");
  EXPECT_EQ(MessageOf(EKMException(TKMNativeCode(100), nullptr)),
            u"Unknown error - Native error: 00100");
  // "%5d" with its spaces turned to zeros: the sign stays where it was, and
  // wide numbers are not cut.
  EXPECT_EQ(MessageOf(EKMException(TKMNativeCode(-1), nullptr)),
            u"Unknown error - Native error: 000-1");
  EXPECT_EQ(MessageOf(EKMException(TKMNativeCode(123456), nullptr)),
            u"Unknown error - Native error: 123456");
  EXPECT_EQ(MessageOf(EKMException(TKMNativeCode(INT32_MIN), nullptr)),
            u"Unknown error - Native error: -2147483648");
}

TEST(EKMException, SharedAndSpecialMessages) {
  TKavoMill archiver;
  archiver.SetName(u"Archiver");
  const std::u16string tooLong = MessageOf(EKMException(kmeNameTooLong, {u"x.txt"}, &archiver));
  EXPECT_EQ(tooLong, u"Archiver: File name is too long: \r\n\"x.txt\" - Native error: 00061");

  auto text = [](int code) {
    std::u16string m = MessageOf(EKMException(TKMNativeCode(code), {u"big.bin"}, nullptr));
    return m.substr(0, m.find(u" - Native error: "));
  };
  EXPECT_EQ(text(43), text(41));
  EXPECT_EQ(text(43), u"Cannot compress file 'big.bin'. Zip64 mode is not enabled");

  // Spot checks of the code map: sites that share a message.
  for (int code : {1, 2, 3, 4, 7, 16, 21, 24}) EXPECT_EQ(text(code), u"Index out of bounds");
  for (int code : {9, 10, 29})
    EXPECT_EQ(text(code), u"File name is blank. Specify appropriate file name");
  for (int code : {11, 12, 15, 18, 30, 31, 38, 42, 53, 54})
    EXPECT_EQ(text(code), u"File \"big.bin\" not found");
  EXPECT_EQ(text(44), text(45));
  EXPECT_EQ(text(48), u"Archive is damaged. Open failed");
  EXPECT_EQ(text(57), text(48));
  EXPECT_EQ(text(58), text(59));
  EXPECT_EQ(EKMException(kmeInUpdate, nullptr).ErrorCode(), 13);
  EXPECT_EQ(EKMException(kmeSecondTransaction, nullptr).ErrorCode(), 37);
  EXPECT_EQ(MessageOf(EKMException(kmeCompressedSize, {int64_t(10), int64_t(-3)}, nullptr)),
            u"Invalid compressed size, rfs.size = 10, count = -3 - Native error: 00034");
}

TEST(KMFormat, IsSafeWithMissingOddAndHostileArguments) {
  EXPECT_EQ(KMFormat(u"a %s b %d c", {}), u"a  b 0 c");
  EXPECT_EQ(KMFormat(u"100%% %x %", {u"unused"}), u"100% %x %");
  EXPECT_EQ(KMFormat(u"%d/%s", {u"text", int64_t(7)}), u"text/7");
  // An argument is never read as a template itself.
  EXPECT_EQ(KMFormat(u"[%s]", {u"%s%d%%"}), u"[%s%d%%]");
  EXPECT_EQ(KMFormat(u"%d", {int64_t(INT64_MIN)}), u"-9223372036854775808");
}

}  // namespace
}  // namespace km
