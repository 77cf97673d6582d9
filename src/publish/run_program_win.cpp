#include "publish/push.h"

// Trees are pushed from the publishing machine's Linux build, where rsync runs; the Windows build
// of zepo-publish does not start programs.
bool RunProgram(const std::vector<std::string>& arguments, std::string&, std::string& error, int* exitStatus) {
  if (exitStatus != nullptr) *exitStatus = -1;
  error = arguments.empty() ? "no program" : arguments[0] + " is not run by the Windows build of zepo-publish";
  return false;
}
