// Drive type, free space and label go through whichever drives are in place:
// the host's, or a test's stand-ins.
#include <atomic>

#include "platform/FileSystem.h"

namespace km::platform {
namespace {

std::atomic<IDrives*> gDrives{nullptr};

IDrives& CurrentDrives() {
  IDrives* drives = gDrives.load();
  return drives ? *drives : HostDrives();
}

}  // namespace

ScopedDrives::ScopedDrives(IDrives* drives) : previous_(gDrives.exchange(drives)) {}

ScopedDrives::~ScopedDrives() {
  gDrives.store(previous_);
}

TDriveType GetDriveType(const std::u16string& path) {
  return CurrentDrives().DriveType(FullPathName(path.empty() ? u"." : path));
}

int64_t DiskFreeSpace(const std::u16string& path) {
  return CurrentDrives().FreeSpace(FullPathName(path.empty() ? u"." : path));
}

bool SetVolumeLabel(const std::u16string& rootPath, const std::u16string& label) {
  return CurrentDrives().SetVolumeLabel(rootPath, label);
}

}  // namespace km::platform
