// The one check that keeps a name taken from an archive inside the directory
// it is extracted to.
#pragma once

#include <cstddef>
#include <string>

namespace km {

// True when target lies strictly below root (root itself is not "inside").
// Both are Windows-view paths and are compared in a textual normal form:
// '/' and '\' are both separators, "." and ".." are resolved without asking
// the file system, a drive letter or \\server\share is the first part.
// Refused outright (false): a NUL anywhere; a drive-relative "X:name"; a
// ':' inside a component (another drive, or an alternate data stream on
// Windows); a ".." that climbs above an absolute path's root; a component
// made only of dots and spaces other than "." and ".." ("...", ".. "),
// which Windows may read as one of those; and a doubled separator after
// the part of target that spells root, which is how an absolute name
// ("\x", "//server/share") shows once it is appended to root.
// Components compare ignoring case and trailing dots and spaces only where
// the host file system does so (Windows); on POSIX "x." and "x" are two names.
bool IsInsideRoot(const std::u16string& root, const std::u16string& target);

// The same check; on success normalized receives target in its normal form
// (root's part first, '\' separators, a trailing '\' kept) and rootLength
// the length of its leading part that names root, separator included, so
// that normalized.substr(rootLength) is what lies below root.
bool IsInsideRoot(const std::u16string& root, const std::u16string& target,
                  std::u16string& normalized, size_t& rootLength);

}  // namespace km
