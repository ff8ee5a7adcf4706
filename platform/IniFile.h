// An INI file read whole into memory and written back whole, as 8-bit text
// in the ANSI code page. Section and key names compare ignoring ASCII case.
#pragma once

#include <string>
#include <vector>

namespace km::platform {

class IniFile {
 public:
  // Reads the file when it exists; a missing or unreadable file gives an
  // empty set of sections.
  explicit IniFile(std::u16string fileName);

  const std::u16string& FileName() const { return fileName_; }
  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& defaultValue) const;
  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  // Removes the key from every section of that name; nothing when it is not there.
  void DeleteKey(const std::string& section, const std::string& key);
  bool SectionExists(const std::string& section) const;
  // Writes the whole file back (CRLF line ends); false when that fails.
  bool UpdateFile() const;

 private:
  struct Section {
    std::string name;
    std::vector<std::string> lines;  // "key=value" lines and anything else, kept in order
  };
  std::u16string fileName_;
  std::vector<Section> sections_;
};

}  // namespace km::platform
