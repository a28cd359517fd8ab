// Where the program keeps its files on this platform.
//
// Settings and the user's own copy of the format-profile file live in
// $XDG_CONFIG_HOME/orvane-video-converter/ (default ~/.config/orvane-video-converter/); the
// format-profile file delivered with the program lives in data/ beside the executable.
#pragma once

#include <string>
#include <vector>

#include "media/loader.h"

// The configuration folder (not created here; the first write creates it).
std::string ConfigDir();
// The settings file "orvanepspvideoconverter.ini" in the configuration folder.
std::string SettingsIniPath();
// The folder of the running executable.
std::string ProgramDir();
// Loads the library kinds (kEngineLibs for a conversion, kPlayerLibs for playback) from the
// "LibAV" folder beside the program, then the normal search path; kinds loaded already stay as
// they are. False with the loader's text in `error` when they cannot load. The one place that
// loads the libraries for the windows and the command line.
bool LoadCodecLibraries(TLibraryKinds kinds, std::string& error);
// The places of the format-profile file, in the order they are tried: the user's copy in the
// configuration folder, data/ beside the program (a build tree), then
// ../share/orvane-video-converter/data/ relative to the program (an installed program).
std::vector<std::string> FormatIniSearchPaths(const std::string& programDir);
// The folder that holds the program's data/ and skin/ folders: programDir itself in a build
// tree (data/ beside the program), else programDir/../share/orvane-video-converter when
// installed. programDir when neither holds data/.
std::string ProgramDataRoot(const std::string& programDir);
// The program's skin folder (ProgramDataRoot + "/skin").
std::string SkinDir(const std::string& programDir);
// The first of those places that holds the file; data/ beside the program when none does.
std::string FormatIniPath(const std::string& programDir);
std::string FormatIniPath();
// The user's home folder ($HOME, else the password database).
std::string HomeDir();
// The default output and snapshot folder, ~/Videos/videoconverter.
std::string DefaultOutputDir();
