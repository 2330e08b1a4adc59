// Starts a Windows program and watches it the way a user would see it: its
// "Setup" window, and the error box with its text, owner, buttons and icon.
// Presses OK on the box, waits for the program to end and prints one JSON
// object. Never hangs: after the time-out the program is ended.
//
//   loaderdrive [--show N] [--timeout MS] [--keep-box] PROGRAM [ARG...]
//
// --show N puts N in the start-up information's wShowWindow with
// STARTF_USESHOWWINDOW (default SW_SHOWNORMAL); --show -1 passes neither.
// PROGRAM may be a Unix path; it is turned into its Z: drive form. The
// arguments are put on the command line as given, quoted only when they
// hold a blank and are not quoted already (one that begins with a double
// quote is taken as a piece of command line, as a deployment tool writes it).
//
// The driver runs with UTF-8 as its active code page (its manifest), like
// the loader: texts are UTF-8, and in the JSON every byte from 0x7F up is
// escaped as its own code point (a reader undoes it by encoding the text
// as Latin-1 and decoding it as UTF-8).
//
// "setup_geometry" is the Setup window as last seen shown: its rectangle on
// the screen, its client size, the progress bar's rectangle in the client
// area, the window's DPI and the maximized-window size the system reports.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kCaption[] = "There was an error when trying to load the installation program";

struct Observation {
  DWORD process_id = 0;
  bool setup_seen = false;
  bool setup_ever_visible = false;
  bool box_found = false;
  std::string box_text;
  std::string box_caption;
  std::string owner_class;
  bool owner_is_setup = false;
  bool owner_visible = false;
  bool setup_visible_during_box = false;
  std::vector<std::string> buttons;
  std::vector<int> button_ids;
  std::string icon = "none";
  std::vector<std::string> other_windows;  // top-level windows of other classes
  std::string setup_geometry = "null";     // JSON, see above
  HWND box = nullptr;
  HWND ok_button = nullptr;
  HWND icon_control = nullptr;
};

std::string ClassOf(HWND window) {
  char name[256] = {};
  GetClassNameA(window, name, sizeof name);
  return name;
}

std::string TextOf(HWND window) {
  int length = GetWindowTextLengthA(window);
  std::string text(static_cast<size_t>(length) + 1, '\0');
  int got = GetWindowTextA(window, &text[0], length + 1);
  text.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return text;
}

// Icon handles belong to the process that loaded them, so the box's icon is
// recognised by what it shows: its control is read back from the screen and
// compared with each standard icon drawn here on the same background.
struct Dib {
  HDC dc = nullptr;
  HBITMAP bitmap = nullptr;
  HGDIOBJ previous = nullptr;
  DWORD* bits = nullptr;

  Dib() {
    dc = CreateCompatibleDC(nullptr);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = 32;
    info.bmiHeader.biHeight = -32;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* raw = nullptr;
    bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &raw, nullptr, 0);
    bits = static_cast<DWORD*>(raw);
    if (bitmap != nullptr) previous = SelectObject(dc, bitmap);
  }
  ~Dib() {
    if (previous != nullptr) SelectObject(dc, previous);
    if (bitmap != nullptr) DeleteObject(bitmap);
    DeleteDC(dc);
  }
  std::vector<DWORD> Pixels() {
    GdiFlush();
    return bits != nullptr ? std::vector<DWORD>(bits, bits + 32 * 32) : std::vector<DWORD>();
  }
};

std::vector<DWORD> CaptureScreen(HWND control) {
  RECT rect;
  GetWindowRect(control, &rect);
  Dib dib;
  HDC screen = GetDC(nullptr);
  BitBlt(dib.dc, 0, 0, 32, 32, screen, rect.left, rect.top, SRCCOPY);
  ReleaseDC(nullptr, screen);
  return dib.Pixels();
}

std::vector<DWORD> Render(HICON icon, DWORD background) {
  Dib dib;
  if (dib.bits == nullptr) return {};
  for (int i = 0; i < 32 * 32; ++i) dib.bits[i] = background;
  DrawIconEx(dib.dc, 0, 0, icon, 32, 32, 0, nullptr, DI_NORMAL);
  return dib.Pixels();
}

int Differences(const std::vector<DWORD>& a, const std::vector<DWORD>& b) {
  if (a.size() != b.size() || a.empty()) return 32 * 32;
  int count = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    for (int shift = 0; shift < 24; shift += 8) {
      int x = static_cast<int>((a[i] >> shift) & 0xFF);
      int y = static_cast<int>((b[i] >> shift) & 0xFF);
      if (x - y > 24 || y - x > 24) {
        ++count;
        break;
      }
    }
  }
  return count;
}

std::string IconName(HWND control) {
  const std::vector<DWORD> shown = CaptureScreen(control);
  if (shown.empty()) return "unreadable";
  const struct {
    LPCSTR id;
    const char* name;
  } known[] = {{IDI_HAND, "hand"},
               {IDI_EXCLAMATION, "exclamation"},
               {IDI_ASTERISK, "asterisk"},
               {IDI_QUESTION, "question"}};
  std::string best = "other";
  int best_difference = 32 * 32 / 16;  // a close match or none
  for (const auto& k : known) {
    int difference = Differences(shown, Render(LoadIconA(nullptr, k.id), shown[0]));
    if (difference < best_difference) {
      best_difference = difference;
      best = k.name;
    }
  }
  return best;
}

BOOL CALLBACK InspectBoxChild(HWND child, LPARAM context) {
  Observation& seen = *reinterpret_cast<Observation*>(context);
  std::string cls = ClassOf(child);
  if (_stricmp(cls.c_str(), "Button") == 0) {
    seen.buttons.push_back(TextOf(child));
    int id = GetDlgCtrlID(child);
    seen.button_ids.push_back(id);
    if (id == IDOK) seen.ok_button = child;
  } else if (_stricmp(cls.c_str(), "Static") == 0) {
    if (SendMessageA(child, STM_GETICON, 0, 0) != 0) seen.icon_control = child;
  }
  return TRUE;
}

void InspectBox(Observation& seen, HWND box) {
  seen.box_found = true;
  seen.box = box;
  seen.box_caption = TextOf(box);
  HWND text = GetDlgItem(box, 0xFFFF);
  seen.box_text = text != nullptr ? TextOf(text) : "";
  HWND owner = GetWindow(box, GW_OWNER);
  if (owner != nullptr) {
    seen.owner_class = ClassOf(owner);
    seen.owner_is_setup = seen.owner_class == "Setup";
    seen.owner_visible = IsWindowVisible(owner) != FALSE;
  }
  seen.buttons.clear();
  seen.button_ids.clear();
  EnumChildWindows(box, InspectBoxChild, reinterpret_cast<LPARAM>(&seen));
}

UINT DpiOf(HWND window) {
  using GetDpi = UINT(WINAPI*)(HWND);
  FARPROC get = GetProcAddress(GetModuleHandleA("user32.dll"), "GetDpiForWindow");
  return get != nullptr ? reinterpret_cast<GetDpi>(reinterpret_cast<void*>(get))(window) : 0;
}

BOOL CALLBACK FindBar(HWND child, LPARAM context) {
  if (_stricmp(ClassOf(child).c_str(), "msctls_progress32") != 0) return TRUE;
  *reinterpret_cast<HWND*>(context) = child;
  return FALSE;
}

std::string Geometry(HWND setup) {
  RECT window, client, bar = {};
  GetWindowRect(setup, &window);
  GetClientRect(setup, &client);
  HWND bar_window = nullptr;
  EnumChildWindows(setup, FindBar, reinterpret_cast<LPARAM>(&bar_window));
  if (bar_window != nullptr) {
    GetWindowRect(bar_window, &bar);
    MapWindowPoints(HWND_DESKTOP, setup, reinterpret_cast<POINT*>(&bar), 2);
  }
  char text[320];
  std::snprintf(text, sizeof text,
                "{\"window\": [%ld, %ld, %ld, %ld], \"client\": [%ld, %ld], "
                "\"bar\": [%ld, %ld, %ld, %ld], \"dpi\": %u, \"maximized\": [%d, %d]}",
                window.left, window.top, window.right - window.left, window.bottom - window.top,
                client.right, client.bottom, bar.left, bar.top, bar.right - bar.left,
                bar.bottom - bar.top, DpiOf(setup), GetSystemMetrics(SM_CXMAXIMIZED),
                GetSystemMetrics(SM_CYMAXIMIZED));
  return text;
}

BOOL CALLBACK InspectTopLevel(HWND window, LPARAM context) {
  Observation& seen = *reinterpret_cast<Observation*>(context);
  DWORD owner_process = 0;
  GetWindowThreadProcessId(window, &owner_process);
  if (owner_process != seen.process_id) return TRUE;
  std::string cls = ClassOf(window);
  if (cls == "Setup") {
    seen.setup_seen = true;
    if (IsWindowVisible(window)) {
      seen.setup_ever_visible = true;
      seen.setup_geometry = Geometry(window);
    }
  } else if (cls == "#32770" && TextOf(window) == kCaption) {
    if (!seen.box_found) InspectBox(seen, window);
  } else {
    bool known = false;
    for (const std::string& other : seen.other_windows) known = known || other == cls;
    if (!known) seen.other_windows.push_back(cls);
  }
  return TRUE;
}

std::string Json(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string JsonList(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + Json(items[i]);
  return out + "]";
}

std::string WindowsPath(std::string path) {
  if (!path.empty() && path[0] == '/') {
    for (char& c : path) c = c == '/' ? '\\' : c;
    path = "Z:" + path;
  }
  return path;
}

std::string Quoted(const std::string& argument) {
  if (!argument.empty() && argument[0] == '"') return argument;
  bool blank = argument.empty();
  for (unsigned char c : argument) blank = blank || c <= 32;
  return blank ? "\"" + argument + "\"" : argument;
}

int Usage() {
  std::fprintf(stderr,
               "usage: loaderdrive [--show N] [--timeout MS] [--keep-box] PROGRAM [ARG...]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int show = SW_SHOWNORMAL;  // as a double click in the shell starts it
  DWORD timeout_ms = 30000;
  bool press_ok = true;
  int i = 1;
  for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
    if (std::strcmp(argv[i], "--show") == 0 && i + 1 < argc) {
      show = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--timeout") == 0 && i + 1 < argc) {
      timeout_ms = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10));
    } else if (std::strcmp(argv[i], "--keep-box") == 0) {
      press_ok = false;
    } else {
      return Usage();
    }
  }
  if (i >= argc) return Usage();

  std::string program = WindowsPath(argv[i]);
  std::string line = Quoted(program);
  for (++i; i < argc; ++i) line += " " + Quoted(argv[i]);

  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  if (show >= 0) {
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = static_cast<WORD>(show);
  }
  PROCESS_INFORMATION process = {};
  std::vector<char> mutable_line(line.begin(), line.end());
  mutable_line.push_back('\0');
  if (!CreateProcessA(program.c_str(), mutable_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &process)) {
    std::printf("{\"started\": false, \"error\": %lu, \"command_line\": %s}\n", GetLastError(),
                Json(line).c_str());
    return 3;
  }

  Observation seen;
  seen.process_id = process.dwProcessId;
  bool timed_out = false;
  bool pressed = false;
  DWORD box_seen_at = 0;
  DWORD start = GetTickCount();
  for (;;) {
    EnumWindows(InspectTopLevel, reinterpret_cast<LPARAM>(&seen));
    if (seen.box_found && box_seen_at == 0) box_seen_at = GetTickCount();
    // The box gets a moment to paint before its icon is read and OK pressed.
    if (seen.box_found && !pressed && GetTickCount() - box_seen_at >= 500) {
      if (seen.icon_control != nullptr) {
        // Other programs' windows may cover the box on the shared screen:
        // raise it above them and look again a few times.
        for (int attempt = 0; attempt < 8; ++attempt) {
          SetWindowPos(seen.box, HWND_TOPMOST, 0, 0, 0, 0,
                       SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
          RedrawWindow(seen.box, nullptr, nullptr,
                       RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
          Sleep(100);
          seen.icon = IconName(seen.icon_control);
          if (seen.icon != "other") break;
        }
      }
      // Seen from the same moment as the box: is the window under it shown?
      EnumWindows(
          [](HWND window, LPARAM context) -> BOOL {
            Observation& s = *reinterpret_cast<Observation*>(context);
            DWORD pid = 0;
            GetWindowThreadProcessId(window, &pid);
            if (pid == s.process_id && ClassOf(window) == "Setup" && IsWindowVisible(window)) {
              s.setup_visible_during_box = true;
            }
            return TRUE;
          },
          reinterpret_cast<LPARAM>(&seen));
      if (press_ok) {
        if (seen.ok_button != nullptr) {
          PostMessageA(seen.box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                       reinterpret_cast<LPARAM>(seen.ok_button));
        } else {
          PostMessageA(seen.box, WM_CLOSE, 0, 0);
        }
      }
      pressed = true;
    }
    if (WaitForSingleObject(process.hProcess, 50) == WAIT_OBJECT_0) break;
    if (GetTickCount() - start > timeout_ms) {
      timed_out = true;
      TerminateProcess(process.hProcess, 259);
      WaitForSingleObject(process.hProcess, 5000);
      break;
    }
  }

  DWORD exit_code = 0;
  GetExitCodeProcess(process.hProcess, &exit_code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);

  std::vector<std::string> ids;
  for (int id : seen.button_ids) ids.push_back(std::to_string(id));
  std::string id_list = "[";
  for (size_t k = 0; k < ids.size(); ++k) id_list += (k ? ", " : "") + ids[k];
  id_list += "]";

  std::printf(
      "{\"started\": true, \"command_line\": %s, \"exit_code\": %lu, \"timed_out\": %s, "
      "\"setup_window_seen\": %s, \"setup_window_ever_visible\": %s, "
      "\"box\": %s, \"box_text\": %s, \"box_caption\": %s, \"owner_class\": %s, "
      "\"owner_is_setup\": %s, "
      "\"owner_visible\": %s, \"setup_visible_during_box\": %s, \"buttons\": %s, \"button_ids\": "
      "%s, "
      "\"icon\": %s, \"other_windows\": %s, \"setup_geometry\": %s}\n",
      Json(line).c_str(), exit_code, timed_out ? "true" : "false",
      seen.setup_seen ? "true" : "false", seen.setup_ever_visible ? "true" : "false",
      seen.box_found ? "true" : "false", Json(seen.box_text).c_str(),
      Json(seen.box_caption).c_str(), Json(seen.owner_class).c_str(),
      seen.owner_is_setup ? "true" : "false", seen.owner_visible ? "true" : "false",
      seen.setup_visible_during_box ? "true" : "false", JsonList(seen.buttons).c_str(),
      id_list.c_str(), Json(seen.icon).c_str(), JsonList(seen.other_windows).c_str(),
      seen.setup_geometry.c_str());
  std::fflush(stdout);
  return timed_out ? 4 : 0;
}
