// The built-in encoder presets and the translation of the legacy encoder option names they
// are written in.
#pragma once

#include <string>
#include <vector>

#include "media/option_holder.h"

constexpr int kBuiltinPresetCount = 40;

struct TBuiltinPreset {
  const char* Name;
  const char* Text;  // key=value lines
};

// The table in its fixed order.
const TBuiltinPreset* BuiltinPresets();
// Case-insensitive lookup; null when there is no such entry.
const TBuiltinPreset* FindBuiltinPreset(const std::string& name);

struct TOptionPair {
  std::string Name;
  std::string Value;
};

// The built-in presets (and older preset files) use option names and flags of an earlier
// generation of the H.264 encoder wrapper. When `name`/`value` use any of them, `out` receives
// the modern options that have the same effect (the encoder's private options, its
// "x264-params" entries merged with what the holder already has, and the generic option with
// the flags the libraries still know) and the result is true. False: pass the option on as it is.
bool TranslateLegacyOption(const TOptionHolder& holder, const std::string& name, const std::string& value,
                           std::vector<TOptionPair>& out);
