#include "app/core/filefilters.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

const std::vector<TFileFilter>& OpenDialogFilters() {
  static const std::vector<TFileFilter> filters = {
      {"All Supported Video Formats",
       "*.AVI;*.AVM;*.ASF;*.WMV;*.AVS;*.FLV;*.MKV;*.MOV;*.3GP;*.3G2;*.M4V;*.MP4;*.MPG;*.MPEG;*.DAT;*.OGM;*.VOB;*.RM;"
       "*.RMVB;*.TS;*.TP;*.IFO;*.NSV;*.SWF;"},
      {"All Supported Audio Formats",
       "*.MP3;*.AAC;*.WAV;*.WMA;*.OGG;*.CDA;*.FLAC;*.M4A;*.MID;*.MKA;*.MP2;*.MPA;*.MPC;*.APE;*.OFR;*.OGG;*.RA;*.WV;"
       "*.TTA;*.AC3;*.DTS;"},
      {"AVI files (*.avi)", "*.avi"},
      {"MPEG4 files (*.mp4)", "*.mp4"},
      {"MPEG files (*.mpg,*.mpeg)", "*.mpg;*.mpeg"},
      {"3GP files (*.3gp,*.3g2)", "*.3gp;*.3g2"},
      {"Itunes Video files (*.m4v)", "*.m4v"},
      {"Windows Media files (*.wmv,*.asf)", "*.wmv;*.asf"},
      {"Real Media files (*.rm,*.rmvb)", "*.rm;*.rmvb"},
      {"Video CD files (*.dat)", "*.dat"},
      {"Quick Time files (*.mov)", "*.mov"},
      {"Flash Video files (*.flv)", "*.flv"},
      {"Matroska Video files (*.mkv)", "*.mkv"},
      {"MJPEG Video files (*.mjpg,*.mjpeg)", "*.mjpg;*.mjpeg"},
      {"Animated GIF files (*.gif)", "*.gif"},
      {"H.264/MPEG4 AVC Video files (*.mts,*.m2ts)", "*.mts;*.m2ts"},
      {"DVD video object files (*.vob)", "*.vob"},
      {"MPEG-1 Video files (*.mpv)", "*.mpv"},
      {"Video Transport Stream files (*.ts)", "*.ts"},
      {"TP Video files (*.tp)", "*.tp"},
      {"Maceomeida Flash files (*.swf)", "*.swf"},
      {"MP3 Audio files (*.mp3)", "*.mp3"},
      {"Advanced Audio Coding files (*.aac)", "*.aac"},
      {"Monkey's Audio files (*.ape)", "*.ape"},
      {"Ogg Vorbis Audio files (*.ogg)", "*.ogg"},
      {"Windows Media Audio files (*.wma)", "*.wma"},
      {"MusePack Audio files (*.mpc)", "*.mpc"},
      {"MPEG Audio files (*.mpa)", "*.mpa"},
      {"MPEG-4 Audio files (*.m4a)", "*.m4a"},
      {"Matroska Audio files (*.mka)", "*.mka"},
      {"DTS Audio files (*.dts)", "*.dts"},
      {"Audio Codec 3 files (*.ac3)", "*.ac3"},
      {"Speex Audio files (*.spx)", "*.spx"},
      {"Real Audio files (*.ra,*.ram)", "*.ra;*.ram"},
      {"MPEG Layer II Compressed Audio files (*.mp2)", "*.mp2"},
      {"All files (*.*)", "*.*"},
  };
  return filters;
}

std::vector<std::string> SplitPatterns(const char* patterns) {
  std::vector<std::string> out;
  std::string cur;
  for (const char* p = patterns; *p; ++p) {
    if (*p == ';') {
      if (!cur.empty()) out.push_back(cur);
      cur.clear();
    } else {
      cur += *p;
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

namespace {
char Lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

// "*.ext" patterns only: the name ends in ".ext" (ASCII letters compared without case).
bool MatchesExtension(const std::string& name, const std::string& pattern) {
  if (pattern.size() < 3 || pattern[0] != '*' || pattern[1] != '.') return false;
  const std::string ext = pattern.substr(1);
  if (name.size() <= ext.size()) return false;
  const size_t base = name.size() - ext.size();
  for (size_t i = 0; i < ext.size(); ++i)
    if (Lower(name[base + i]) != Lower(ext[i])) return false;
  return true;
}
}  // namespace

bool IsSupportedMediaName(const std::string& fileName) {
  const std::string name = fs::path(fileName).filename().string();
  for (size_t f = 0; f < 2; ++f)
    for (const std::string& pattern : SplitPatterns(OpenDialogFilters()[f].Patterns))
      if (MatchesExtension(name, pattern)) return true;
  return false;
}

std::vector<std::string> ExpandDroppedPaths(const std::vector<std::string>& paths) {
  std::vector<std::string> out;
  for (const std::string& path : paths) {
    std::error_code ec;
    if (!fs::is_directory(path, ec)) {
      if (fs::exists(path, ec)) out.push_back(path);
      continue;
    }
    std::vector<std::string> found;
    fs::recursive_directory_iterator it(path, fs::directory_options::skip_permission_denied, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      std::error_code fec;
      if (it->is_regular_file(fec) && IsSupportedMediaName(it->path().string())) found.push_back(it->path().string());
    }
    std::sort(found.begin(), found.end());
    out.insert(out.end(), found.begin(), found.end());
  }
  return out;
}
