// errno -> Windows error codes, and the per-thread last error, shared by the
// POSIX backend's files.
#pragma once

#include <filesystem>

namespace km::platform::detail {

void SetLastError(int code);
int ErrorFromErrno(int err);
// As ErrorFromErrno, but a missing entry whose parent directory is missing as
// well is "path not found", as Windows tells the two apart.
int PathErrorFromErrno(int err, const std::filesystem::path& hostPath);

}  // namespace km::platform::detail
