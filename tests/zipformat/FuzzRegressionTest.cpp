// Replays the inputs kept in tests/data/fuzz-regressions (what the fuzzer
// found, and small archives with one fault each, named by the fault) through
// the fuzz target's open-and-list, plus a fixed-seed mutation of each, so a
// crash, a hang or a stray exception shows up in every ordinary test run.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <typeinfo>
#include <vector>

#include "fuzz/OpenArchiveHarness.h"
#include "support/Exceptions.h"

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

TEST(FuzzRegressionTest, EveryKeptInputOpensOrFailsCleanly) {
  const std::vector<fs::path> files = RegressionInputs();
  ASSERT_FALSE(files.empty()) << "no inputs in " << KM_TEST_DATA_DIR << "/fuzz-regressions";
  for (const fs::path& file : files) {
    const std::vector<uint8_t> bytes = ReadAll(file);
    for (bool tolerate : {true, false})
      EXPECT_EQ(OpenOutcome(bytes, tolerate), "")
          << file.filename() << (tolerate ? " tolerating damage" : " strict");
  }
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
