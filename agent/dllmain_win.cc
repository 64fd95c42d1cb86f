// Windows only: the DLL's entry routine.
#include <windows.h>

// Nothing happens at load or unload, nor per thread: the agent is created on
// the host's first GetQuilloSnipingToolAgent call. Work done here would run
// under the loader lock, where starting threads or loading libraries can
// deadlock the host.
extern "C" BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD /*reason*/, LPVOID /*reserved*/) {
  return TRUE;
}
