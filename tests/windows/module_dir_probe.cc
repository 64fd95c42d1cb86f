// A DLL that links the platform layer and reports what DIR_MODULE names from
// inside it. It is built into a directory of its own, so that the answer
// tells the DLL's directory from the loading executable's.
#include <windows.h>

#include <cwchar>

#include "platform/path_service.h"

extern "C" __declspec(dllexport) bool ProbeModuleDirectory(wchar_t* out, size_t size) {
  base::FilePath directory;
  if (!base::PathService::Get(base::DIR_MODULE, &directory) || directory.value().size() >= size)
    return false;
  wcscpy(out, directory.value().c_str());
  return true;
}
