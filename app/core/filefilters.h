// The open-file dialog's filter table of the job list and the "All Supported" test used for
// folders dropped onto the list. Patterns match without regard to letter case.
#pragma once

#include <string>
#include <vector>

struct TFileFilter {
  const char* Description;
  const char* Patterns;  // "*.avi;*.mp4;" style, ";"-separated
};

// In the dialog's order; the first two are the "All Supported" video and audio lists.
const std::vector<TFileFilter>& OpenDialogFilters();
// The patterns of one filter, without empty entries ("*.avi", "*.mp4").
std::vector<std::string> SplitPatterns(const char* patterns);
// True when the file name matches a pattern of the two "All Supported" lists.
bool IsSupportedMediaName(const std::string& fileName);
// Files to add for dropped paths, in order: a dropped file as it is; a dropped folder
// expands to every file below it (all depths) whose name is supported, in byte order of the
// full paths. Entries that vanished or cannot be read are left out.
std::vector<std::string> ExpandDroppedPaths(const std::vector<std::string>& paths);
