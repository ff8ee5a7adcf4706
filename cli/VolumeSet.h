// Which file a command opens when it is given a volume of a split set.
#pragma once

#include <string>

namespace km::cli {

// The set's last volume holds the directory, so a set is opened by it. A
// numbered volume typed in its place (data.z02 or data_002.zip, as Info-ZIP,
// 7-Zip and this program name them) gives the path of the last volume
// (data.zip) beside it. Any other path, a whole archive above all, is
// returned as typed.
std::string SetArchiveOf(const std::string& typed);

}  // namespace km::cli
