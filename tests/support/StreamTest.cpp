#include "support/Stream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/TempDir.h"
#include "platform/CodePage.h"

namespace km {
namespace {

std::string Text(const TMemoryStream& s) {
  return std::string(reinterpret_cast<const char*>(s.Memory()), s.Bytes().size());
}

TEST(MemoryStream, SeekAndWritePastTheEndZeroFills) {
  TMemoryStream s;
  s.WriteBuffer("abc", 3);
  EXPECT_EQ(s.Seek(5, soEnd), 8);
  EXPECT_EQ(s.Size(), 3);  // seeking alone does not grow it
  char buf[4] = {};
  EXPECT_EQ(s.Read(buf, 4), 0);
  s.WriteBuffer("Z", 1);
  EXPECT_EQ(s.Size(), 9);
  EXPECT_EQ(Text(s), std::string("abc\0\0\0\0\0Z", 9));

  // Reads clamp at the end.
  s.SetPosition(7);
  EXPECT_EQ(s.Read(buf, 4), 2);
  EXPECT_EQ(s.Position(), 9);

  EXPECT_EQ(s.Seek(-2, soCurrent), 7);
  EXPECT_THROW(s.Seek(-1, soBeginning), EStreamError);
  EXPECT_THROW(s.Seek(-10, soEnd), EStreamError);
  EXPECT_THROW(s.Seek(INT64_MAX, soCurrent), EStreamError);
  EXPECT_EQ(s.Position(), 7);  // a refused seek leaves the position

  // A write whose end cannot be held fails instead of wrapping or aborting.
  s.Seek(INT64_MAX - 1, soBeginning);
  EXPECT_THROW(s.WriteBuffer("xyz", 3), EWriteError);
  EXPECT_EQ(s.Size(), 9);
}

TEST(MemoryStream, SetSizeTruncatesAndExtendsKeepingThePosition) {
  TMemoryStream s;
  s.WriteBuffer("0123456789", 10);
  s.SetPosition(4);
  s.SetSize(6);
  EXPECT_EQ(s.Size(), 6);
  EXPECT_EQ(s.Position(), 4);
  s.SetSize(8);
  EXPECT_EQ(Text(s), std::string("012345\0\0", 8));
  EXPECT_EQ(s.Position(), 4);
  s.SetSize(2);  // below the position: it stays, the next write zero-fills
  EXPECT_EQ(s.Position(), 4);
  s.WriteBuffer("x", 1);
  EXPECT_EQ(Text(s), std::string("01\0\0x", 5));
  EXPECT_THROW(s.SetSize(-1), EStreamError);
  s.Clear();
  EXPECT_EQ(s.Size(), 0);
  EXPECT_EQ(s.Position(), 0);
}

TEST(MemoryStream, ReadBufferShortReadAndCopies) {
  TMemoryStream s;
  s.WriteBuffer("hello", 5);
  s.SetPosition(0);
  char buf[8];
  EXPECT_THROW(s.ReadBuffer(buf, 6), EReadError);
  s.SetPosition(0);
  s.ReadBuffer(buf, 5);
  EXPECT_EQ(std::string(buf, 5), "hello");
  try {
    s.ReadBuffer(buf, 1);
    ADD_FAILURE();
  } catch (const EReadError& e) {
    EXPECT_EQ(e.Message(), u"Stream read error");
    EXPECT_STREQ(e.what(), "Stream read error");
  }

  // CopyFrom with 0 takes the whole source from its start, wherever it is.
  std::string big(3 * 1048576 + 17, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = char(i * 7 + i / 4096);
  TMemoryStream source, target;
  source.WriteBuffer(big.data(), int64_t(big.size()));
  EXPECT_EQ(target.CopyFrom(source, 0), int64_t(big.size()));
  EXPECT_EQ(Text(target), big);
  // A count copies from the source's position; too many bytes is a read error.
  source.SetPosition(10);
  TMemoryStream part;
  EXPECT_EQ(part.CopyFrom(source, 5), 5);
  EXPECT_EQ(Text(part), big.substr(10, 5));
  source.SetPosition(source.Size() - 2);
  EXPECT_THROW(part.CopyFrom(source, 3), EReadError);

  TMemoryStream loaded;
  loaded.LoadFromStream(part);
  EXPECT_EQ(loaded.Position(), 0);
  EXPECT_EQ(Text(loaded), Text(part));
}

TEST(MemoryStream, ManySmallWritesStayLinear) {
  // Quadratic growth would copy about 2 * 10^12 bytes here.
  TMemoryStream s;
  for (int i = 0; i < 2000000; ++i) s.WriteBuffer("x", 1);
  EXPECT_EQ(s.Size(), 2000000);
}

TEST(FileStream, CreateReopenAndFailures) {
  test::TempDir tmp;
  const std::u16string name = tmp.Win() + platform::Utf8ToWide("файл😀.bin");
  {
    TFileStream f(name, fmCreate);
    f.WriteBuffer("hello world", 11);
    EXPECT_EQ(f.Size(), 11);
    f.SetSize(5);
    EXPECT_EQ(f.Seek(0, soEnd), 5);
    EXPECT_TRUE(f.Flush());
  }
  {
    TFileStream f(name, fmOpenRead | fmShareDenyWrite);
    EXPECT_EQ(f.Size(), 5);
    char buf[8];
    f.ReadBuffer(buf, 5);
    EXPECT_EQ(std::string(buf, 5), "hello");
    EXPECT_EQ(f.Read(buf, 8), 0);
    EXPECT_THROW(f.WriteBuffer("x", 1), EWriteError);
    EXPECT_THROW(f.Seek(-1, soBeginning), EStreamError);
    f.SetPosition(1);
    TMemoryStream m;
    EXPECT_EQ(m.CopyFrom(f, 0), 5);  // from the start despite the position
  }
  {
    TFileStream f(name, fmOpenReadWrite | fmShareDenyNone);
    f.Seek(0, soEnd);
    f.WriteBuffer("!", 1);
  }
  std::ifstream in(tmp.Host() / std::filesystem::path(u8"файл😀.bin"), std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  EXPECT_EQ(content.str(), "hello!");

  const std::u16string missing = tmp.Win() + u"missing.bin";
  try {
    TFileStream f(missing, fmOpenRead);
    ADD_FAILURE() << "opened a missing file";
  } catch (const EFOpenError& e) {
    EXPECT_NE(e.Message().find(u"Cannot open file \"" + missing + u"\". "), std::u16string::npos);
  }
  try {
    TFileStream f(tmp.Win() + u"no\\such\\dir\\x", fmCreate);
    ADD_FAILURE() << "created a file in a missing directory";
  } catch (const EFCreateError& e) {
    EXPECT_EQ(e.Message().rfind(u"Cannot create file \"", 0), 0u);
  }
  EXPECT_THROW(TFileStream(name, 0x0003), EFOpenError);  // no such access value
}

}  // namespace
}  // namespace km
