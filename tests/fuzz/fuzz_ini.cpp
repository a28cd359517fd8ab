// The INI reader on any bytes: every read answers without a fault, the answers agree with each
// other, and a write of one key changes no other value the file holds.
#include <optional>
#include <string>
#include <vector>

#include "app/core/inifile.h"
#include "media/errors.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

struct TValue {
  std::string section, key, value;
};

// The value of a key, or nullopt when the reader gives the default (two different defaults
// tell a missing key from one whose value happens to equal a default: the fuzzer plants the
// strings it sees compared into its inputs).
std::optional<std::string> Read(const TIniFile& ini, const std::string& section, const std::string& key) {
  const std::string a = ini.ReadString(section, key, "\x01a");
  if (a != ini.ReadString(section, key, "\x01b")) return std::nullopt;
  return a;
}

// The values the file holds as a reader sees them (first section of a name, first key of a
// name), up to 64 of them: each look-up goes through the file's lines.
std::vector<TValue> ReadAll(const TIniFile& ini) {
  std::vector<TValue> all;
  for (const std::string& section : ini.ReadSectionNames()) {
    FUZZ_CHECK(ini.SectionExists(section), section);
    for (const std::string& key : ini.ReadSectionKeys(section)) {
      if (all.size() == 64) return all;
      FUZZ_CHECK(ini.ValueExists(section, key), section + "/" + key);
      const std::optional<std::string> read = Read(ini, section, key);
      FUZZ_CHECK(read.has_value(), section + "/" + key);
      const std::string v = *read;
      FUZZ_CHECK(v.size() <= kIniMaxValueLength, section + "/" + key);
      const int32_t n = ini.ReadInteger(section, key, 0);
      FUZZ_CHECK(ini.ReadInteger(section, key, 1) == n || n == 0, section + "/" + key);
      FUZZ_CHECK(ini.ReadBool(section, key, false) == ini.ReadBool(section, key, true) || n == 0, section + "/" + key);
      all.push_back({section, key, v});
    }
  }
  return all;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = fuzz::WriteInput("fuzz.ini", data, size);
  const std::vector<TValue> before = ReadAll(TIniFile::ReadOnce(path));
  // The same answers from the object that reads the file on every call (a few: each reads the
  // whole file).
  const TIniFile live(path);
  for (size_t i = 0; i < before.size() && i < 8; ++i)
    FUZZ_CHECK(live.ReadString(before[i].section, before[i].key, "") == before[i].value, before[i].key);

  // One key written into the first section (or a new one): every other value stays as it was.
  const std::string section = before.empty() ? std::string("Fuzz") : before.front().section;
  TIniFile writer(path);
  try {
    writer.WriteString(section, "FuzzWritten", "1");
  } catch (const FFmpegException&) {
    return 0;  // a section name the line format cannot hold is refused before anything changes
  }
  const TIniFile after = TIniFile::ReadOnce(path);
  FUZZ_CHECK(after.ReadString(section, "FuzzWritten", "") == "1", section);
  for (const TValue& v : before)
    if (!(IniNamesEqual(v.section, section) && IniNamesEqual(v.key, "FuzzWritten")))
      FUZZ_CHECK(Read(after, v.section, v.key) == v.value, v.section + "/" + v.key);
  return 0;
}
