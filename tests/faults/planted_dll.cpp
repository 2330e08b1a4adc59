// A DLL an attacker would leave beside a downloaded loader. Loading it is the
// attack: DllMain writes a marker file next to itself, named after the DLL,
// so the test sees which name was loaded from the loader's folder. It exports
// the common-controls entry points so that a static import would bind to it.
#include <windows.h>

namespace {

void WriteMarker(HMODULE self) {
  char path[MAX_PATH + 16];
  DWORD length = GetModuleFileNameA(self, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  lstrcpyA(path + length, ".loaded");
  HANDLE file =
      CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, "planted\r\n", 9, &written, nullptr);
  CloseHandle(file);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) WriteMarker(instance);
  return TRUE;
}

extern "C" __declspec(dllexport) void WINAPI InitCommonControls() {}
extern "C" __declspec(dllexport) BOOL WINAPI InitCommonControlsEx(const void*) { return TRUE; }
