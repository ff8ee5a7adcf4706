// Archives of other ZIP tools that the tests read. They are made once by
// tests/data/inputs/make_inputs.py and committed, so that both hosts read
// the same bytes: the Windows run cannot start the Linux tools.
#pragma once

#include <filesystem>
#include <string>

namespace km::test {

// Absolute, since a program a test starts may work on another drive.
inline std::filesystem::path InputArchive(const std::string& name) {
  return std::filesystem::absolute(std::filesystem::path(KM_TEST_DATA_DIR) / "inputs" / name);
}

// A copy of one at `to`, for a test that changes it or wants it beside its
// other files. Throws when the input is missing, failing the test.
inline std::filesystem::path CopyInputArchive(const std::string& name,
                                              const std::filesystem::path& to) {
  std::filesystem::copy_file(InputArchive(name), to,
                             std::filesystem::copy_options::overwrite_existing);
  return to;
}

}  // namespace km::test
