// Access to the program's two INI files in the Windows profile-file format.
//
// A line "[name]" opens a section; "key=value" lines hold values. Section and key names are
// compared without regard to ASCII letter case. Every call opens the file, reads or rewrites
// it and closes it again: nothing is cached, so a value written by one object is seen at once
// by every other. ReadOnce makes the object for one use of the file (a conversion start, a
// listing): it reads the file once and answers every read of that use from that reading. A write never destroys the file: the new content goes to a temporary file in
// the same folder, which is flushed and then renamed over the old one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// Values longer than this are cut when read.
constexpr size_t kIniMaxValueLength = 2047;

class TIniFile {
public:
  explicit TIniFile(std::string fileName);
  // Reads the file now; later reads of this object (and its copies) answer from that reading,
  // writes go to the file and are seen by this object too.
  static TIniFile ReadOnce(std::string fileName);

  const std::string& FileName() const { return fileName_; }

  // A missing file, section or key gives the default.
  std::string ReadString(const std::string& section, const std::string& key, const std::string& def) const;
  // The whole (blank-trimmed) value must be a signed decimal 32-bit integer, else the default.
  int32_t ReadInteger(const std::string& section, const std::string& key, int32_t def) const;
  // Any integer other than 0 is true; a value that is not an integer gives the default.
  bool ReadBool(const std::string& section, const std::string& key, bool def) const;

  bool SectionExists(const std::string& section) const;
  bool ValueExists(const std::string& section, const std::string& key) const;
  // Key names of a section in file order (empty when the section is missing).
  std::vector<std::string> ReadSectionKeys(const std::string& section) const;
  // Every section header's name in file order, a name given twice listed twice.
  std::vector<std::string> ReadSectionNames() const;

  // Each write throws FFmpegException "Unable to write to <file>" when the system refuses it;
  // the file on disk is then unchanged. The folder is created when missing.
  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& key, int32_t value);
  void WriteBool(const std::string& section, const std::string& key, bool value);
  // Several keys of one section in one rewrite: either all of them reach the file or none.
  void WriteStrings(const std::string& section, const std::vector<std::pair<std::string, std::string>>& values);

private:
  struct TContent;
  std::shared_ptr<const TContent> Load() const;

  std::string fileName_;
  std::shared_ptr<const TContent> content_;  // set by ReadOnce
};

// ASCII case-insensitive equality, as the profile-file format compares names.
bool IniNamesEqual(const std::string& a, const std::string& b);
