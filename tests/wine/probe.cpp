// A Win32 probe for the Wine tests: finds the dialog or notice korvane.exe shows, prints what
// it holds as JSON (ANSI texts as hex bytes), then dismisses it as asked; or dumps registry
// values with their exact byte counts.
//
//   korvane-probe window TIMEOUT_MS ok|enter|escape|close|none
//   korvane-probe count
//   korvane-probe dump KEY          (KEY under HKEY_LOCAL_MACHINE, recursively)
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string Hex(const char* bytes, int length) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (int i = 0; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
  }
  return hex;
}

std::string WindowText(HWND window) {
  char text[2048] = {};
  const int length = GetWindowTextA(window, text, sizeof text);
  return Hex(text, length);
}

struct Found {
  HWND windows[16];
  int count;
};

BOOL CALLBACK CollectDialogs(HWND window, LPARAM data) {
  auto* found = reinterpret_cast<Found*>(data);
  char name[64] = {};
  GetClassNameA(window, name, sizeof name);
  if (std::strcmp(name, "#32770") == 0 && IsWindowVisible(window) && found->count < 16)
    found->windows[found->count++] = window;
  return TRUE;
}

Found Dialogs() {
  Found found{};
  EnumWindows(CollectDialogs, reinterpret_cast<LPARAM>(&found));
  return found;
}

std::string comma;

BOOL CALLBACK PrintChild(HWND child, LPARAM dialogHandle) {
  const HWND dialog = reinterpret_cast<HWND>(dialogHandle);
  if (GetParent(child) != dialog) return TRUE;
  char name[64] = {};
  GetClassNameA(child, name, sizeof name);
  RECT rect;
  GetWindowRect(child, &rect);
  MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
  std::printf("%s{\"class\": \"%s\", \"id\": %d, \"style\": %lu, \"rect\": [%ld, %ld, %ld, %ld], \"text\": \"%s\"",
              comma.c_str(), name, static_cast<int>(static_cast<short>(GetDlgCtrlID(child))),
              static_cast<unsigned long>(GetWindowLongA(child, GWL_STYLE)), rect.left, rect.top,
              rect.right - rect.left, rect.bottom - rect.top, WindowText(child).c_str());
  if (_stricmp(name, "ListBox") == 0) {
    std::printf(", \"entries\": [");
    const LRESULT count = SendMessageA(child, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
      char entry[2048] = {};
      const LRESULT length = SendMessageA(child, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(entry));
      std::printf("%s\"%s\"", i == 0 ? "" : ", ", Hex(entry, length > 0 ? static_cast<int>(length) : 0).c_str());
    }
    std::printf("]");
  }
  std::printf("}");
  comma = ", ";
  return TRUE;
}

int ProbeWindow(DWORD timeout, const char* action) {
  HWND dialog = nullptr;
  for (DWORD waited = 0; waited <= timeout; waited += 100) {
    Found found = Dialogs();
    if (found.count > 0) {
      dialog = found.windows[0];
      break;
    }
    Sleep(100);
  }
  if (dialog == nullptr) {
    std::printf("{\"found\": false}\n");
    return 1;
  }
  Sleep(300);  // let the dialog finish its initialisation
  RECT units = {0, 0, 4, 8};
  MapDialogRect(dialog, &units);
  DWORD process = 0;
  GetWindowThreadProcessId(dialog, &process);
  GUITHREADINFO gui{};
  gui.cbSize = sizeof gui;
  GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &gui);
  std::printf("{\"found\": true, \"title\": \"%s\", \"style\": %lu, \"baseUnits\": [%ld, %ld], "
              "\"bigIcon\": %s, \"focusId\": %d, \"dialogs\": %d, \"controls\": [",
              WindowText(dialog).c_str(), static_cast<unsigned long>(GetWindowLongA(dialog, GWL_STYLE)), units.right,
              units.bottom, SendMessageA(dialog, WM_GETICON, ICON_BIG, 0) != 0 ? "true" : "false",
              gui.hwndFocus != nullptr ? static_cast<int>(static_cast<short>(GetDlgCtrlID(gui.hwndFocus))) : 0,
              Dialogs().count);
  EnumChildWindows(dialog, PrintChild, reinterpret_cast<LPARAM>(dialog));
  std::printf("]}\n");
  std::fflush(stdout);
  if (std::strcmp(action, "ok") == 0) {
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
  } else if (std::strcmp(action, "enter") == 0 || std::strcmp(action, "escape") == 0) {
    const WPARAM key = action[1] == 'n' ? VK_RETURN : VK_ESCAPE;
    const HWND target = gui.hwndFocus != nullptr ? gui.hwndFocus : dialog;
    PostMessageA(target, WM_KEYDOWN, key, 1);
    PostMessageA(target, WM_KEYUP, key, 0xC0000001);
  } else if (std::strcmp(action, "close") == 0) {
    PostMessageA(dialog, WM_CLOSE, 0, 0);
  }
  return 0;
}

void Dump(HKEY key, const std::string& path) {
  for (DWORD index = 0;; ++index) {
    char name[512];
    DWORD nameSize = sizeof name;
    BYTE data[4096];
    DWORD dataSize = sizeof data;
    DWORD type = 0;
    if (RegEnumValueA(key, index, name, &nameSize, nullptr, &type, data, &dataSize) != ERROR_SUCCESS) break;
    std::printf("%s{\"key\": \"%s\", \"name\": \"%s\", \"type\": %lu, \"data\": \"%s\"}", comma.c_str(),
                Hex(path.data(), static_cast<int>(path.size())).c_str(), Hex(name, static_cast<int>(nameSize)).c_str(),
                static_cast<unsigned long>(type), Hex(reinterpret_cast<char*>(data), static_cast<int>(dataSize)).c_str());
    comma = ", ";
  }
  for (DWORD index = 0;; ++index) {
    char name[512];
    DWORD nameSize = sizeof name;
    if (RegEnumKeyExA(key, index, name, &nameSize, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    HKEY child = nullptr;
    if (RegOpenKeyExA(key, name, 0, KEY_READ, &child) == ERROR_SUCCESS) {
      Dump(child, path + "\\" + name);
      RegCloseKey(child);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && std::strcmp(argv[1], "window") == 0)
    return ProbeWindow(static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)), argv[3]);
  if (argc >= 2 && std::strcmp(argv[1], "count") == 0) {
    std::printf("%d\n", Dialogs().count);
    return 0;
  }
  if (argc >= 3 && std::strcmp(argv[1], "dump") == 0) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, argv[2], 0, KEY_READ, &key) != ERROR_SUCCESS) {
      std::printf("[]\n");
      return 1;
    }
    std::printf("[");
    Dump(key, argv[2]);
    std::printf("]\n");
    RegCloseKey(key);
    return 0;
  }
  std::fprintf(stderr, "usage: korvane-probe window TIMEOUT_MS ok|enter|escape|close|none | count | dump KEY\n");
  return 2;
}
