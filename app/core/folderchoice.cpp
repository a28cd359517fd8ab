#include "app/core/folderchoice.h"

#include "app/core/apppaths.h"
#include "app/core/globalobject.h"
#include "media/textutils.h"

std::string HomeFallbackFolder() { return HomeDir() + "/videoconverter"; }

std::string WritableOrHomeFolder(const std::string& stored) {
  return TGlobalObject::CanWriteToFolder(stored) ? stored : HomeFallbackFolder();
}

TFolderChoice CheckChosenFolder(const std::string& chosen, const std::string& shown) {
  TFolderChoice c;
  if (chosen.empty() || chosen == shown) return c;
  if (chosen.size() < 4) {
    c.Kind = TFolderChoice::fcInvalid;
    c.Message = "The path " + chosen + " is not a valid directory.";
  } else if (TGlobalObject::CanWriteToFolder(chosen)) {
    c.Kind = TFolderChoice::fcStored;
    c.Folder = chosen;
  } else {
    c.Kind = TFolderChoice::fcReplaced;
    c.Folder = HomeFallbackFolder();
    c.Message = "You login as " + TrimText(TGlobalObject::GetLoginUserName()) +
                " .You don't have permission to write to directory:" + chosen;
  }
  return c;
}
