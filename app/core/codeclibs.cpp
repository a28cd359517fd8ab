#include "app/core/codeclibs.h"

#include "app/core/apppaths.h"
#include "engine/engine.h"

bool LoadCodecLibs(std::string& error) {
  TConvertEngine engine;
  if (engine.LoadAVLib(ProgramDir() + "/LibAV")) return true;
  error = engine.LastErrMsg();
  return false;
}
