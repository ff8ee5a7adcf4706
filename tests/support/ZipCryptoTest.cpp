#include "support/ZipCrypto.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "common/InputArchives.h"
#include "common/TempDir.h"
#include "platform/HostPath.h"
#include "support/ByteIO.h"

namespace km {
namespace {

// The key update written straight from the application note, bit by bit, to
// check the table-driven one against.
uint32_t NoteCrc32(uint32_t crc, uint8_t b) {
  crc ^= b;
  for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  return crc;
}
void NoteUpdateKeys(uint32_t key[3], uint8_t c) {
  key[0] = NoteCrc32(key[0], c);
  key[1] = key[1] + (key[0] & 0xFF);
  key[1] = key[1] * 134775813u + 1;
  key[2] = NoteCrc32(key[2], uint8_t(key[1] >> 24));
}
uint8_t NoteDecryptByte(const uint32_t key[3]) {
  uint16_t temp = uint16_t(key[2] | 2);
  return uint8_t((uint32_t(temp) * (temp ^ 1u)) >> 8);
}

std::string Slurp(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(ZipCrypto, KeysFollowTheApplicationNote) {
  KeySet keys;
  keys.key0 = 1;  // InitKeys must reset, not continue
  InitKeys("", keys);
  EXPECT_EQ(keys.key0, 0x12345678u);
  EXPECT_EQ(keys.key1, 0x23456789u);
  EXPECT_EQ(keys.key2, 0x34567890u);

  const std::string password = "Pa\xDFw\xF6rd \x01\xFF";  // high bytes too
  uint32_t note[3] = {0x12345678u, 0x23456789u, 0x34567890u};
  for (char c : password) NoteUpdateKeys(note, uint8_t(c));
  InitKeys(password, keys);
  EXPECT_EQ(keys.key0, note[0]);
  EXPECT_EQ(keys.key1, note[1]);
  EXPECT_EQ(keys.key2, note[2]);

  // Encrypting 256 bytes: every keystream byte and key state matches too.
  for (int i = 0; i < 256; ++i) {
    uint8_t plain = uint8_t(i * 37);
    ASSERT_EQ(KeyStreamByte(keys), NoteDecryptByte(note));
    ASSERT_EQ(EncryptByte(keys, plain), uint8_t(plain ^ NoteDecryptByte(note)));
    NoteUpdateKeys(note, plain);
    ASSERT_EQ(keys.key2, note[2]);
  }
}

TEST(ZipCrypto, RoundTripAndStartIndex) {
  std::vector<uint8_t> plain(1000);
  for (size_t i = 0; i < plain.size(); ++i) plain[i] = uint8_t(i * 13 + 5);
  std::vector<uint8_t> buf = plain;

  KeySet enc, dec;
  InitKeys("secret", enc);
  InitKeys("secret", dec);
  EncryptBuffer(enc, buf.data(), 100, 900);
  EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 100, plain.begin()));  // untouched
  EXPECT_NE(buf, plain);
  DecryptBuffer(dec, buf.data() + 100, 900);
  EXPECT_EQ(buf, plain);
  EXPECT_EQ(enc.key0, dec.key0);  // both sides end in the same state
  EXPECT_EQ(enc.key2, dec.key2);

  KeySet before = enc;
  EncryptBuffer(enc, buf.data(), 0, 0);
  EncryptBuffer(enc, buf.data(), 0, -4);
  DecryptBuffer(enc, buf.data(), -1);
  EXPECT_EQ(buf, plain);
  EXPECT_EQ(enc.key1, before.key1);
}

// A one-entry stored archive with an encrypted entry, written by hand.
std::vector<uint8_t> EncryptedZip(const std::string& name, const std::string& content,
                                  const std::string& password) {
  const uint32_t crc =
      Crc32Update(0xFFFFFFFFu, content.data(), int64_t(content.size())) ^ 0xFFFFFFFFu;
  std::vector<uint8_t> data(12 + content.size());
  for (int i = 0; i < 10; ++i) data[i] = uint8_t(i * 91 + 7);
  data[10] = uint8_t(crc >> 16);
  data[11] = uint8_t(crc >> 24);  // the byte readers check the password with
  std::copy(content.begin(), content.end(), data.begin() + 12);
  KeySet keys;
  InitKeys(password, keys);
  EncryptBuffer(keys, data.data(), 0, int64_t(data.size()));

  const uint16_t time = 0x6000, date = 0x50B1;
  ByteWriter w;
  w.U32(0x04034B50);
  for (uint16_t v : {20, 1, 0, int(time), int(date)}) w.U16(v);
  w.U32(crc);
  w.U32(uint32_t(data.size()));
  w.U32(uint32_t(content.size()));
  w.U16(uint16_t(name.size()));
  w.U16(0);
  w.Bytes(name);
  w.Bytes(data.data(), data.size());
  const uint32_t cdOffset = uint32_t(w.Size());
  w.U32(0x02014B50);
  for (uint16_t v : {20, 20, 1, 0, int(time), int(date)}) w.U16(v);
  w.U32(crc);
  w.U32(uint32_t(data.size()));
  w.U32(uint32_t(content.size()));
  for (uint16_t v : {int(name.size()), 0, 0, 0, 0}) w.U16(v);
  w.U32(0);
  w.U32(0);
  w.Bytes(name);
  const uint32_t cdSize = uint32_t(w.Size()) - cdOffset;
  w.U32(0x06054B50);
  for (uint16_t v : {0, 0, 1, 1}) w.U16(v);
  w.U32(cdSize);
  w.U32(cdOffset);
  w.U16(0);
  return w.Data();
}

TEST(ZipCrypto, PythonZipfileDecryptsWhatWeEncrypt) {
  if (std::system("python3 -c 'import zipfile' >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "python3 is not installed";
  test::TempDir tmp;
  const std::string content = "Traditional encryption, checked by a peer.\n";
  std::vector<uint8_t> zip = EncryptedZip("note.txt", content, "s3cr\xE9t");
  const auto zipPath = tmp.Host() / "enc.zip";
  std::ofstream(zipPath, std::ios::binary)
      .write(reinterpret_cast<const char*>(zip.data()), std::streamsize(zip.size()));
  const auto outPath = tmp.Host() / "out.txt";
  std::string command =
      "python3 -c \"import sys, zipfile; "
      "z = zipfile.ZipFile(sys.argv[1]); "
      "open(sys.argv[2], 'wb').write(z.read('note.txt', pwd=b's3cr\\xe9t'))\" '" +
      zipPath.string() + "' '" + outPath.string() + "'";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  EXPECT_EQ(Slurp(outPath), content);

  // With a wrong password python must refuse (the check byte differs).
  std::string wrong =
      "python3 -c \"import sys, zipfile; "
      "zipfile.ZipFile(sys.argv[1]).read('note.txt', pwd=b'wrong')\" '" +
      zipPath.string() + "' 2>/dev/null";
  EXPECT_NE(std::system(wrong.c_str()), 0);
}

TEST(ZipCrypto, DecryptsAnEntryWrittenByInfoZip) {
  // Info-ZIP's, stored, password "pass word".
  std::string content;
  for (int i = 0; i < 3000; ++i) content += char('a' + i % 26);
  const std::string zip = Slurp(test::InputArchive("zipcrypto-stored.zip"));
  ASSERT_GT(zip.size(), 30u);

  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(zip.data());
  ByteReader r(bytes, zip.size());
  ASSERT_EQ(r.U32(), 0x04034B50u);
  r.Skip(2);
  const uint16_t flags = r.U16();
  ASSERT_EQ(r.U16(), 0);  // stored
  const uint16_t time = r.U16();
  r.Skip(2);
  const uint32_t crc = r.U32();
  const uint32_t packed = r.U32();
  r.Skip(4);
  const uint16_t nameLen = r.U16(), extraLen = r.U16();
  r.Skip(size_t(nameLen) + extraLen);
  ASSERT_TRUE(r.Ok());
  ASSERT_EQ(flags & 1, 1);
  ASSERT_EQ(packed, content.size() + 12);
  ASSERT_GE(r.Remaining(), packed);

  std::vector<uint8_t> data(bytes + r.Position(), bytes + r.Position() + packed);
  KeySet keys;
  DecryptHeader("pass word", keys, data.data());
  // With a data descriptor the check byte comes from the time, else the CRC.
  const uint8_t check = (flags & 8) ? uint8_t(time >> 8) : uint8_t(crc >> 24);
  EXPECT_EQ(data[11], check);
  DecryptBuffer(keys, data.data() + 12, int64_t(content.size()));
  EXPECT_EQ(std::string(data.begin() + 12, data.end()), content);
  if ((flags & 8) == 0) {
    EXPECT_EQ(Crc32Update(0xFFFFFFFFu, data.data() + 12, int64_t(content.size())) ^ 0xFFFFFFFFu,
              crc);
  }

  // A wrong password turns the header into something else.
  std::vector<uint8_t> again(bytes + r.Position(), bytes + r.Position() + 12);
  DecryptHeader("Pass word", keys, again.data());
  EXPECT_NE(std::vector<uint8_t>(again.begin(), again.end()),
            std::vector<uint8_t>(data.begin(), data.begin() + 12));
}

}  // namespace
}  // namespace km
