// A stand-in for the loader's failure path, to check the driver itself:
// makes a hidden or shown window of class "Setup" and shows the error box
// owned by it (or by no window), then ends with exit code 1.
//   boxfixture [owned|unowned] [shown|hidden] TEXT [exclamation]

#include <windows.h>

#include <cstring>

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  bool owned = std::strcmp(argv[1], "owned") == 0;
  bool shown = std::strcmp(argv[2], "shown") == 0;
  WNDCLASSA window_class = {};
  window_class.lpfnWndProc = DefWindowProcA;
  window_class.hInstance = GetModuleHandleA(nullptr);
  window_class.lpszClassName = "Setup";
  if (!RegisterClassA(&window_class)) return 3;
  HWND window = CreateWindowExA(0, "Setup", "Setup", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr,
                                nullptr, window_class.hInstance, nullptr);
  if (window == nullptr) return 4;
  if (shown) ShowWindow(window, SW_SHOW);
  UINT icon =
      argc > 4 && std::strcmp(argv[4], "exclamation") == 0 ? MB_ICONEXCLAMATION : MB_ICONHAND;
  MessageBoxA(owned ? window : nullptr, argv[3],
              "There was an error when trying to load the installation program", MB_OK | icon);
  return 1;
}
