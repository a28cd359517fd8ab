// The rules for a folder the user picks for output or snapshots, and for a stored folder that
// cannot be written.
#pragma once

#include <string>

// The folder under the home folder that replaces one that cannot be written: ~/videoconverter.
std::string HomeFallbackFolder();
// `stored` when a file can be made in it, else the home fallback folder.
std::string WritableOrHomeFolder(const std::string& stored);

struct TFolderChoice {
  enum TKind {
    fcNone,      // nothing chosen, or the folder already shown: nothing to do
    fcInvalid,   // too short to be a folder: Message, nothing stored
    fcStored,    // writable: Folder is the chosen one, to be stored
    fcReplaced,  // not writable: Message, and Folder is the home fallback, to be stored
  };
  TKind Kind = fcNone;
  std::string Folder;
  std::string Message;  // a "Warning" message box text
};

// What a chosen folder leads to; `shown` is the folder the window shows now.
TFolderChoice CheckChosenFolder(const std::string& chosen, const std::string& shown);
