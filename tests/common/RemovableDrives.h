// Folders that play removable disks for a test, and a script of message box
// answers that lets the test act (swap a disk, clean one) before each answer,
// as a user does between "Please insert ..." and pressing OK.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/DialogServices.h"
#include "platform/FileSystem.h"
#include "platform/HostPath.h"

namespace km::test {

// While one lives, each folder added is a removable drive of a given
// capacity: its free space is that capacity less what the files in it take,
// so a volume written there fills the disk as on a real one. Every other
// path is answered by the drives that were in place before. Labels set on
// any drive are recorded, as a host with drive labels would keep them.
class RemovableDrives : public platform::IDrives {
 public:
  RemovableDrives() : installed_(this) {}

  // The folder (made if missing) is a blank disk of capacity bytes.
  void Add(const std::filesystem::path& folder, int64_t capacity) {
    std::filesystem::create_directories(folder);
    drives_[Key(folder)] = Drive{folder, capacity, 0};
  }
  // Another disk of capacity bytes in the same drive, holding what the
  // folder holds now.
  void SetCapacity(const std::filesystem::path& folder, int64_t capacity) {
    drives_.at(Key(folder)).capacity = capacity;
  }
  // Takes the disk out: its files move to a shelf beside the folder
  // ("<folder>.disk1", "<folder>.disk2", ...), whose path is returned, and a
  // blank disk of capacity bytes goes in.
  std::filesystem::path Swap(const std::filesystem::path& folder, int64_t capacity) {
    Drive& drive = drives_.at(Key(folder));
    const std::filesystem::path shelf =
        drive.folder.string() + ".disk" + std::to_string(++drive.swapped);
    std::filesystem::create_directories(shelf);
    for (const auto& entry : std::filesystem::directory_iterator(drive.folder))
      std::filesystem::rename(entry.path(), shelf / entry.path().filename());
    drive.capacity = capacity;
    return shelf;
  }

  // The labels set so far, in order, with the root each was set on.
  const std::vector<std::pair<std::u16string, std::u16string>>& Labels() const { return labels_; }
  // How often the free space of a played drive was asked for.
  int FreeSpaceQueries() const { return freeSpaceQueries_; }

  platform::TDriveType DriveType(const std::u16string& fullPath) override {
    if (Find(fullPath)) return platform::dtRemovable;
    return installed_.Previous().DriveType(fullPath);
  }
  int64_t FreeSpace(const std::u16string& fullPath) override {
    const Drive* drive = Find(fullPath);
    if (!drive) return installed_.Previous().FreeSpace(fullPath);
    ++freeSpaceQueries_;
    int64_t used = 0;
    std::error_code ec;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(drive->folder, ec))
      if (entry.is_regular_file(ec)) used += int64_t(entry.file_size(ec));
    return std::max<int64_t>(drive->capacity - used, 0);
  }
  bool SetVolumeLabel(const std::u16string& rootPath, const std::u16string& label) override {
    labels_.emplace_back(rootPath, label);
    return true;
  }

 private:
  struct Drive {
    std::filesystem::path folder;
    int64_t capacity = 0;
    int swapped = 0;
  };

  static std::u16string Key(const std::filesystem::path& folder) {
    return ToWindowsView(std::filesystem::absolute(folder).lexically_normal()) + u'\\';
  }
  // The drive whose folder is the path or holds it.
  const Drive* Find(const std::u16string& fullPath) const {
    const std::u16string path = fullPath.ends_with(u'\\') ? fullPath : fullPath + u'\\';
    for (const auto& [key, drive] : drives_)
      if (path.starts_with(key)) return &drive;
    return nullptr;
  }

  std::map<std::u16string, Drive> drives_;
  std::vector<std::pair<std::u16string, std::u16string>> labels_;
  int freeSpaceQueries_ = 0;
  platform::ScopedDrives installed_;
};

// Scripted answers, with an action run as each box shows and before it is
// answered: the test's hands, inserting the disk a box asks for.
class ActingDialogServices : public platform::ScriptedDialogServices {
 public:
  // Gets the box and how many boxes came before it.
  std::function<void(const platform::MessageBoxRequest&, size_t)> onBox;

  platform::TModalResult MessageBox(const platform::MessageBoxRequest& request) override {
    if (onBox) onBox(request, MessageBoxes().size());
    return ScriptedDialogServices::MessageBox(request);
  }
};

}  // namespace km::test
