// Replays the inputs kept in tests/data/fuzz-regressions (what the fuzzer
// found, and small archives with one fault each, named by the fault) through
// the fuzz target's open-and-list: each must come out as its row in the table
// below says, and a fixed-seed mutation of each must open or fail cleanly, so
// a crash, a hang, a stray exception or a changed reading shows up in every
// ordinary test run.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <typeinfo>
#include <vector>

#include "fuzz/OpenArchiveHarness.h"
#include "support/Exceptions.h"
#include "zipformat/KMException.h"

namespace km {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Empty when the input opened or failed with the component's own exception;
// otherwise what escaped.
std::string OpenOutcome(const std::vector<uint8_t>& bytes, bool tolerateDamage) {
  try {
    fuzz::OpenAndList(bytes.data(), bytes.size(), tolerateDamage);
  } catch (const Exception&) {
  } catch (const std::exception& e) {
    return std::string(typeid(e).name()) + ": " + e.what();
  }
  return {};
}

std::vector<fs::path> RegressionInputs() {
  std::vector<fs::path> files;
  const fs::path dir = fs::path(KM_TEST_DATA_DIR) / "fuzz-regressions";
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec))
    if (entry.is_regular_file()) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

// How an input reads: "no end record", "<n> entries" from the central
// directory, "<n> entries by scan" when the directory was rebuilt from the
// local headers, "native <code>" for the EKMException raised, or "read error"
// with the reader's words.
std::string ReadingOf(const std::vector<uint8_t>& bytes, bool tolerateDamage) {
  std::string reading = "no end record";
  try {
    fuzz::OpenArchive(bytes.data(), bytes.size(), tolerateDamage,
                      [&reading](const TKMDirManager& manager) {
                        const int32_t count = manager.CurrentDir().Count();
                        reading = std::to_string(count) + (count == 1 ? " entry" : " entries") +
                                  (manager.DirectoryRebuilt() ? " by scan" : "");
                      });
  } catch (const EKMException& e) {
    return "native " + std::to_string(e.NativeError());
  } catch (const EReadError& e) {
    return std::string("read error: ") + e.what();
  } catch (const Exception& e) {
    return std::string("exception: ") + e.what();
  }
  return reading;
}

struct ExpectedReading {
  const char* strict;
  const char* tolerant;  // reading with damage tolerated, as OpenArchive repairs
};

// One row per kept input; a new input needs its row.
const std::map<std::string, ExpectedReading> kExpected = {
    {"incons-count-beyond-directory.zip",
     {"read error: Damaged central directory: the directory is larger than the archive",
      "2 entries by scan"}},
    {"incons-count-ffff-without-zip64.zip", {"2 entries by scan", "2 entries by scan"}},
    {"incons-dirsize-beyond-file.zip",
     {"read error: Damaged central directory: the directory is larger than the archive",
      "2 entries by scan"}},
    {"incons-duplicate-empty-names.zip", {"0 entries", "0 entries"}},
    {"incons-extra-cut-header.zip", {"1 entry", "1 entry"}},
    {"incons-extra-overrun.zip", {"1 entry", "1 entry"}},
    {"incons-name-nul-byte.zip", {"1 entry", "1 entry"}},
    {"incons-stored-inner-zip-no-directory.zip", {"1 entry", "1 entry"}},
    {"incons-trailing-bytes.zip", {"no end record", "2 entries by scan"}},
    {"incons-truncated-directory.zip",
     {"read error: Damaged central directory: a central header has no signature",
      "2 entries by scan"}},
    {"incons-zip64-locator-past-end.zip", {"native 40", "native 40"}},
    {"incons-zip64-sentinels-without-extra.zip", {"native 57", "1 entry"}},
};

TEST(FuzzRegressionTest, EveryKeptInputReadsAsExpected) {
  const std::vector<fs::path> files = RegressionInputs();
  ASSERT_FALSE(files.empty()) << "no inputs in " << KM_TEST_DATA_DIR << "/fuzz-regressions";
  std::vector<std::string> seen;
  for (const fs::path& file : files) {
    const std::string name = file.filename().string();
    seen.push_back(name);
    const auto row = kExpected.find(name);
    const std::vector<uint8_t> bytes = ReadAll(file);
    if (row == kExpected.end()) {
      ADD_FAILURE() << name << " has no expected reading; it reads strict as \""
                    << ReadingOf(bytes, false) << "\", tolerating damage as \""
                    << ReadingOf(bytes, true) << "\"";
      continue;
    }
    EXPECT_EQ(ReadingOf(bytes, false), row->second.strict) << name << " strict";
    EXPECT_EQ(ReadingOf(bytes, true), row->second.tolerant) << name << " tolerating damage";
    for (bool tolerate : {true, false})
      EXPECT_EQ(OpenOutcome(bytes, tolerate), "")
          << name << (tolerate ? " tolerating damage" : " strict");
  }
  for (const auto& [name, reading] : kExpected)
    EXPECT_NE(std::find(seen.begin(), seen.end(), name), seen.end()) << name << " is missing";
}

// A few hundred damaged copies of each kept input: bytes overwritten, the
// tail cut, words set to the Zip64 sentinels. The seed is fixed, so a failure
// here repeats; the printed mutation number finds the copy again.
TEST(FuzzRegressionTest, MutatedCopiesOpenOrFailCleanly) {
  uint32_t state = 0x2545F491;
  auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  };
  for (const fs::path& file : RegressionInputs()) {
    const std::vector<uint8_t> original = ReadAll(file);
    if (original.empty()) continue;
    for (int mutation = 0; mutation < 300; ++mutation) {
      std::vector<uint8_t> bytes = original;
      switch (next() % 3) {
        case 0:
          for (uint32_t n = 1 + next() % 4; n > 0; --n)
            bytes[next() % bytes.size()] = uint8_t(next());
          break;
        case 1:
          bytes.resize(next() % bytes.size());
          break;
        default: {
          const size_t at = next() % bytes.size();
          for (size_t i = at; i < std::min(bytes.size(), at + 4); ++i) bytes[i] = 0xFF;
        }
      }
      const std::string outcome = OpenOutcome(bytes, true);
      ASSERT_EQ(outcome, "") << file.filename() << " mutation " << mutation;
    }
  }
}

}  // namespace
}  // namespace km
