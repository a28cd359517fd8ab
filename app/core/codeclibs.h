// Loading the engine's codec libraries for the desktop program's windows.
#pragma once

#include <string>

// Loads the engine's codec libraries from the "LibAV" folder beside the program (then the
// normal search path). False with the loader's text in `error` when they cannot load.
bool LoadCodecLibs(std::string& error);
