// A Win32 probe for the tests that run korvane.exe under Wine: it finds the dialog or notice a
// program shows, prints what it holds as JSON, and dismisses it as asked; or it prints the
// registry values under a key with their exact bytes.
//
//   korvane-probe window TIMEOUT_MS ok|enter|escape|close|none
//   korvane-probe count
//   korvane-probe dump ROOT\PATH          ROOT: HKEY_LOCAL_MACHINE or HKEY_DYN_DATA
//
// Only korvane.exe's windows count. ANSI texts come as JSON strings whose characters are the
// text's bytes (U+0000 to U+00FF); a control's text comes as hex bytes as well.
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr char kDialogClass[] = "#32770";
constexpr char kExe[] = "korvane.exe";
constexpr DWORD kPollMs = 50;
constexpr char kDigits[] = "0123456789abcdef";

std::string JsonBytes(const char* bytes, std::size_t length) {
  std::string out = "\"";
  for (std::size_t i = 0; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (byte == '"' || byte == '\\') {
      out += '\\';
      out += static_cast<char>(byte);
    } else if (byte < 0x20 || byte >= 0x7F) {
      out += "\\u00";
      out += kDigits[byte >> 4];
      out += kDigits[byte & 15];
    } else {
      out += static_cast<char>(byte);
    }
  }
  return out + "\"";
}

std::string Hex(const void* data, std::size_t length) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::string out = "\"";
  for (std::size_t i = 0; i < length; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
  }
  return out + "\"";
}

std::string TextField(const char* key, const std::string& text) {
  return std::string("\"") + key + "\": " + JsonBytes(text.data(), text.size());
}

std::string WindowText(HWND window) {
  char text[4096];
  DWORD_PTR length = 0;
  if (SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000,
                          &length) == 0)
    return {};
  return std::string(text, length < sizeof text ? length : sizeof text - 1);
}

// UTF-16 text in the code page given (CP_ACP or CP_UTF8).
std::string Narrow(const wchar_t* wide, int length, UINT codePage) {
  const int bytes = WideCharToMultiByte(codePage, 0, wide, length, nullptr, 0, nullptr, nullptr);
  std::string text(bytes > 0 ? static_cast<std::size_t>(bytes) : 0, '\0');
  if (bytes > 0) WideCharToMultiByte(codePage, 0, wide, length, text.data(), bytes, nullptr, nullptr);
  return text;
}

// The control (or null) that has the keyboard focus in the GUI thread `thread`.
HWND FocusOf(DWORD thread) {
  GUITHREADINFO gui;
  std::memset(&gui, 0, sizeof gui);
  gui.cbSize = sizeof gui;
  return GetGUIThreadInfo(thread, &gui) ? gui.hwndFocus : nullptr;
}

// A child's rectangle in its dialog's client coordinates.
RECT RectIn(HWND dialog, HWND child) {
  RECT rect;
  GetWindowRect(child, &rect);
  MapWindowPoints(HWND_DESKTOP, dialog, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

std::string ClassName(HWND window) {
  char name[256] = {};
  const int length = GetClassNameA(window, name, sizeof name);
  return std::string(name, length > 0 ? length : 0);
}

bool ProcessIs(DWORD processId, const char* exe) {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32 entry;
  entry.dwSize = sizeof entry;
  bool found = false;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    if (entry.th32ProcessID != processId) continue;
    const char* base = std::strrchr(entry.szExeFile, '\\');
    found = _stricmp(base != nullptr ? base + 1 : entry.szExeFile, exe) == 0;
    break;
  }
  CloseHandle(snapshot);
  return found;
}

BOOL CALLBACK CollectDialog(HWND window, LPARAM found) {
  if (!IsWindowVisible(window) || ClassName(window) != kDialogClass) return TRUE;
  DWORD processId = 0;
  GetWindowThreadProcessId(window, &processId);
  if (ProcessIs(processId, kExe)) reinterpret_cast<std::vector<HWND>*>(found)->push_back(window);
  return TRUE;
}

// The visible top-level windows of the dialog class that belong to korvane.exe, in z-order.
std::vector<HWND> Dialogs() {
  std::vector<HWND> found;
  EnumWindows(CollectDialog, reinterpret_cast<LPARAM>(&found));
  return found;
}

// Dialog units from pixels: the value in units that the dialog manager's MulDiv turns into
// exactly these pixels, or -1 when there is none.
long ToUnits(long pixels, long base, long unitsPerBase) {
  const long guess = MulDiv(pixels, unitsPerBase, base);
  for (long units = guess - 2; units <= guess + 2; ++units)
    if (MulDiv(units, base, unitsPerBase) == pixels) return units;
  return -1;
}

struct Units {
  long x;  // pixels per 4 horizontal dialog units
  long y;  // pixels per 8 vertical dialog units
};

// [x, y, width, height]
std::string RectJson(long x, long y, long width, long height) {
  char out[96];
  std::snprintf(out, sizeof out, "[%ld, %ld, %ld, %ld]", x, y, width, height);
  return out;
}

std::string UnitsRect(const RECT& pixels, const Units& units) {
  if (units.x <= 0 || units.y <= 0) return "null";
  const long values[4] = {ToUnits(pixels.left, units.x, 4), ToUnits(pixels.top, units.y, 8),
                          ToUnits(pixels.right - pixels.left, units.x, 4),
                          ToUnits(pixels.bottom - pixels.top, units.y, 8)};
  for (long value : values)
    if (value < 0) return "null";
  return RectJson(values[0], values[1], values[2], values[3]);
}

// An entry as the ANSI text it was inserted as. Wine 8.0's ANSI LB_GETTEXT to a list box of
// another process crashes the caller, so the entry is read in UTF-16 and converted back.
std::string ListEntry(HWND list, LRESULT index) {
  const LRESULT length = SendMessageW(list, LB_GETTEXTLEN, static_cast<WPARAM>(index), 0);
  if (length <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(length) + 1, L'\0');
  const LRESULT got = SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(wide.data()));
  return got <= 0 ? std::string() : Narrow(wide.data(), static_cast<int>(got), CP_ACP);
}

std::string ListEntries(HWND list) {
  std::string texts = "[";
  const LRESULT count = SendMessageA(list, LB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    const std::string entry = ListEntry(list, i);
    texts += (i == 0 ? "" : ", ") + JsonBytes(entry.data(), entry.size());
  }
  return "\"entries\": " + texts + "]";
}

std::string DescribeControl(HWND dialog, HWND control, const Units& units) {
  const std::string name = ClassName(control);
  char head[256];
  std::snprintf(head, sizeof head, "{\"class\": %s, \"id\": %d, \"style\": %lu, ",
                JsonBytes(name.data(), name.size()).c_str(), static_cast<int>(static_cast<short>(GetDlgCtrlID(control))),
                static_cast<unsigned long>(GetWindowLongA(control, GWL_STYLE)));
  const std::string text = WindowText(control);
  std::string out = head;
  out += "\"rect\": " + UnitsRect(RectIn(dialog, control), units) + ", " + TextField("text", text);
  out += ", \"textHex\": " + Hex(text.data(), text.size());
  if (_stricmp(name.c_str(), "ListBox") == 0) out += ", " + ListEntries(control);
  return out + "}";
}

// Dialog base units belong to the dialog's own process: MapDialogRect does not work on the
// window of another. They come from a hidden copy, made here, of the template of the
// owner's executable whose client area has the size of the window: the same template and
// font in the same Wine prefix give the same units.
struct Replica {
  Units units{0, 0};
  long templateId = -1;
  std::string fontFace;  // UTF-8: the face the template names, whatever the code page
  long fontPoints = 0;
  std::string templateJson = "null";  // the template as its bytes say (see TemplateJson)
};

// A classic DLGTEMPLATE read as it stands in the executable: what the dialog manager was
// given, before a control changes its own style at run time (a list box drops WS_BORDER and,
// with few entries, WS_VSCROLL). Null for an extended or truncated template.
class TemplateReader {
 public:
  TemplateReader(const BYTE* bytes, std::size_t size) : bytes_(bytes), size_(size) {}

  std::string Json() {
    const DWORD style = Dword();
    const DWORD exStyle = Dword();
    const WORD count = Word();
    const short x = static_cast<short>(Word()), y = static_cast<short>(Word());
    const short cx = static_cast<short>(Word()), cy = static_cast<short>(Word());
    const std::string menu = SzOrOrd(), windowClass = SzOrOrd(), title = SzOrOrd();
    std::string font = "null";
    if (style & DS_SETFONT) {
      const WORD points = Word();
      font = "{\"points\": " + std::to_string(points) + ", " + TextField("face", SzOrOrd()) + "}";
    }
    char head[256];
    std::snprintf(head, sizeof head, "{\"style\": %lu, \"exStyle\": %lu, \"rect\": [%d, %d, %d, %d], ",
                  static_cast<unsigned long>(style), static_cast<unsigned long>(exStyle), x, y, cx, cy);
    std::string out = std::string(head) + TextField("menu", menu) + ", " + TextField("class", windowClass) + ", " +
                      TextField("title", title) + ", \"font\": " + font + ", \"controls\": [";
    for (WORD i = 0; i < count && ok_; ++i) {
      Align();
      const DWORD itemStyle = Dword();
      const DWORD itemExStyle = Dword();
      const short ix = static_cast<short>(Word()), iy = static_cast<short>(Word());
      const short icx = static_cast<short>(Word()), icy = static_cast<short>(Word());
      const short id = static_cast<short>(Word());
      const std::string itemClass = SzOrOrd(), itemText = SzOrOrd();
      const WORD extra = Word();
      offset_ += extra;
      char item[256];
      std::snprintf(item, sizeof item, "{\"style\": %lu, \"exStyle\": %lu, \"rect\": [%d, %d, %d, %d], \"id\": %d, ",
                    static_cast<unsigned long>(itemStyle), static_cast<unsigned long>(itemExStyle), ix, iy, icx, icy, id);
      out += (i == 0 ? "" : ", ") + std::string(item) + TextField("class", itemClass) + ", " +
             TextField("text", itemText) + "}";
    }
    return ok_ ? out + "]}" : "null";
  }

 private:
  WORD Word() {
    if (offset_ + 2 > size_) {
      ok_ = false;
      return 0;
    }
    const WORD value = static_cast<WORD>(bytes_[offset_] | bytes_[offset_ + 1] << 8);
    offset_ += 2;
    return value;
  }
  DWORD Dword() {
    const DWORD low = Word();
    return low | static_cast<DWORD>(Word()) << 16;
  }
  void Align() { offset_ = (offset_ + 3) & ~static_cast<std::size_t>(3); }
  // A name or an ordinal: the ordinal as "#N", a name as UTF-8.
  std::string SzOrOrd() {
    const WORD first = Word();
    if (first == 0xFFFF) return "#" + std::to_string(Word());
    std::wstring wide;
    for (WORD unit = first; unit != 0 && ok_; unit = Word()) wide += static_cast<wchar_t>(unit);
    return Narrow(wide.data(), static_cast<int>(wide.size()), CP_UTF8);
  }

  const BYTE* bytes_;
  std::size_t size_;
  std::size_t offset_ = 0;
  bool ok_ = true;
};

// The children's rectangles in the dialog's client coordinates, in z-order (template order).
std::vector<RECT> ChildRects(HWND dialog) {
  std::vector<RECT> rects;
  for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
    rects.push_back(RectIn(dialog, child));
  return rects;
}

bool SameRects(const std::vector<RECT>& a, const std::vector<RECT>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](const RECT& x, const RECT& y) { return std::memcmp(&x, &y, sizeof(RECT)) == 0; });
}

void ReadFont(HWND dialog, Replica* replica) {
  const HFONT font = reinterpret_cast<HFONT>(SendMessageW(dialog, WM_GETFONT, 0, 0));
  LOGFONTW logical;
  if (font == nullptr || GetObjectW(font, sizeof logical, &logical) == 0) return;
  replica->fontFace = Narrow(logical.lfFaceName, static_cast<int>(wcsnlen(logical.lfFaceName, LF_FACESIZE)), CP_UTF8);
  const HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  const long height = logical.lfHeight < 0 ? -logical.lfHeight : logical.lfHeight;
  replica->fontPoints = dpi > 0 ? MulDiv(height, 72, dpi) : 0;
}

INT_PTR CALLBACK ReplicaProcedure(HWND, UINT message, WPARAM, LPARAM) { return message == WM_INITDIALOG; }

BOOL CALLBACK CollectTemplate(HMODULE, LPCSTR, LPSTR name, LONG_PTR ids) {
  if (IS_INTRESOURCE(name)) reinterpret_cast<std::vector<WORD>*>(ids)->push_back(LOWORD(reinterpret_cast<UINT_PTR>(name)));
  return TRUE;
}

Replica FindReplica(HWND dialog, DWORD processId) {
  Replica replica;
  char path[MAX_PATH * 2] = {};
  DWORD pathLength = sizeof path;
  const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
  if (process == nullptr) return replica;
  const BOOL named = QueryFullProcessImageNameA(process, 0, path, &pathLength);
  CloseHandle(process);
  if (!named) return replica;
  const HMODULE module = LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (module == nullptr) return replica;
  RECT target;
  GetClientRect(dialog, &target);
  const std::vector<RECT> targetChildren = ChildRects(dialog);
  std::vector<WORD> ids;
  EnumResourceNamesA(module, RT_DIALOG, CollectTemplate, reinterpret_cast<LONG_PTR>(&ids));
  for (WORD id : ids) {
    const HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(id), RT_DIALOG);
    const HGLOBAL loaded = found != nullptr ? LoadResource(module, found) : nullptr;
    const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (bytes == nullptr) continue;
    // A copy that is never shown, whatever the template's own style says.
    std::vector<BYTE> copy(static_cast<const BYTE*>(bytes), static_cast<const BYTE*>(bytes) + SizeofResource(module, found));
    const bool extended = copy.size() >= 4 && copy[2] == 0xFF && copy[3] == 0xFF;
    const std::size_t styleOffset = extended ? 12 : 0;
    if (copy.size() < styleOffset + 4) continue;
    DWORD style;
    std::memcpy(&style, copy.data() + styleOffset, sizeof style);
    style &= ~static_cast<DWORD>(WS_VISIBLE);
    std::memcpy(copy.data() + styleOffset, &style, sizeof style);
    const HWND made = CreateDialogIndirectParamA(GetModuleHandleA(nullptr), reinterpret_cast<LPCDLGTEMPLATEA>(copy.data()),
                                                 nullptr, ReplicaProcedure, 0);
    if (made == nullptr) continue;
    RECT client;
    GetClientRect(made, &client);
    RECT base = {0, 0, 4, 8};
    MapDialogRect(made, &base);
    // Templates of one size differ in their controls' places.
    const bool same = client.right == target.right && client.bottom == target.bottom &&
                      SameRects(ChildRects(made), targetChildren);
    if (same) ReadFont(made, &replica);
    DestroyWindow(made);
    if (same) {
      if (!extended) replica.templateJson = TemplateReader(static_cast<const BYTE*>(bytes), copy.size()).Json();
      replica.units = Units{base.right, base.bottom};
      replica.templateId = id;
      break;
    }
  }
  FreeLibrary(module);
  return replica;
}

std::string DescribeDialog(HWND dialog) {
  DWORD processId = 0;
  const DWORD thread = GetWindowThreadProcessId(dialog, &processId);
  const Replica replica = FindReplica(dialog, processId);
  const Units& units = replica.units;
  const HWND focus = FocusOf(thread);
  RECT window;
  GetWindowRect(dialog, &window);
  RECT client;
  GetClientRect(dialog, &client);

  char head[1024];
  std::snprintf(head, sizeof head,
                "{\"found\": true, \"hwnd\": %llu, \"style\": %lu, \"template\": %s, \"size\": %s, \"window\": %s, "
                "\"screen\": [%d, %d], \"focusId\": %s, ",
                static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(dialog)),
                static_cast<unsigned long>(GetWindowLongA(dialog, GWL_STYLE)),
                replica.templateId >= 0 ? std::to_string(replica.templateId).c_str() : "null",
                UnitsRect(client, units).c_str(), RectJson(window.left, window.top, window.right - window.left, window.bottom - window.top).c_str(), GetSystemMetrics(SM_CXSCREEN),
                GetSystemMetrics(SM_CYSCREEN),
                focus != nullptr ? std::to_string(static_cast<short>(GetDlgCtrlID(focus))).c_str() : "null");
  std::string out = head;
  out += TextField("title", WindowText(dialog)) + ", " + TextField("fontFace", replica.fontFace) +
         ", \"fontPoints\": " + std::to_string(replica.fontPoints) + ", \"resource\": " + replica.templateJson +
         ", \"controls\": [";
  // Children in z-order, which for a dialog is the order of its template.
  bool first = true;
  for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
    out += (first ? "" : ", ") + DescribeControl(dialog, child, units);
    first = false;
  }
  return out + "]";
}

void Dismiss(HWND dialog, const char* action) {
  if (std::strcmp(action, "ok") == 0) {
    const HWND button = GetDlgItem(dialog, IDOK);
    if (button != nullptr)
      PostMessageA(button, BM_CLICK, 0, 0);
    else
      PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  } else if (std::strcmp(action, "enter") == 0 || std::strcmp(action, "escape") == 0) {
    // Keys go to the control with the focus, where the dialog's message loop picks them up.
    const WPARAM key = action[0] == 'e' && action[1] == 'n' ? VK_RETURN : VK_ESCAPE;
    const HWND focus = FocusOf(GetWindowThreadProcessId(dialog, nullptr));
    const HWND target = focus != nullptr ? focus : dialog;
    const UINT scan = MapVirtualKeyA(static_cast<UINT>(key), 0);
    PostMessageA(target, WM_KEYDOWN, key, static_cast<LPARAM>(1 | (scan << 16)));
    PostMessageA(target, WM_KEYUP, key, static_cast<LPARAM>(1 | (scan << 16) | 0xC0000000u));
  } else if (std::strcmp(action, "close") == 0) {
    PostMessageA(dialog, WM_CLOSE, 0, 0);
  }
}

bool WaitGone(HWND dialog, DWORD timeout) {
  for (DWORD waited = 0; waited < timeout; waited += kPollMs) {
    if (!IsWindow(dialog) || !IsWindowVisible(dialog)) return true;
    Sleep(kPollMs);
  }
  return !IsWindow(dialog);
}

int ProbeWindow(DWORD timeout, const char* action) {
  std::vector<HWND> dialogs;
  for (DWORD waited = 0;; waited += kPollMs) {
    dialogs = Dialogs();
    if (!dialogs.empty() || waited >= timeout) break;
    Sleep(kPollMs);
  }
  if (dialogs.empty()) {
    std::printf("{\"found\": false}\n");
    return 1;
  }
  const HWND dialog = dialogs.front();
  // The window is visible once WM_INITDIALOG has returned; let it finish drawing.
  Sleep(200);
  std::string out = DescribeDialog(dialog);
  if (std::strcmp(action, "none") != 0) {
    Dismiss(dialog, action);
    out += std::string(", \"dismissed\": ") + (WaitGone(dialog, 10000) ? "true" : "false");
  }
  std::printf("%s}\n", out.c_str());
  return 0;
}

int Count() {
  const std::vector<HWND> dialogs = Dialogs();
  std::string out = "{\"count\": " + std::to_string(dialogs.size()) + ", \"hwnds\": [";
  for (std::size_t i = 0; i < dialogs.size(); ++i)
    out += (i == 0 ? "" : ", ") + std::to_string(reinterpret_cast<UINT_PTR>(dialogs[i]));
  std::printf("%s]}\n", out.c_str());
  return 0;
}

// The key's own values; its subkeys are keys of their own.
std::string DumpValues(HKEY key) {
  std::string values;
  for (DWORD index = 0;; ++index) {
    char name[16384];
    DWORD nameLength = sizeof name;
    if (RegEnumValueA(key, index, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) continue;
    std::vector<BYTE> data(size + 1);
    DWORD read = size;
    if (RegQueryValueExA(key, name, nullptr, &type, data.data(), &read) != ERROR_SUCCESS) continue;
    char head[64];
    std::snprintf(head, sizeof head, ", \"type\": %lu, \"size\": %lu, \"data\": ", static_cast<unsigned long>(type),
                  static_cast<unsigned long>(read));
    values += (values.empty() ? "{" : ", {") + TextField("name", std::string(name, nameLength)) + head +
              Hex(data.data(), read) + "}";
  }
  return values;
}

int Dump(const char* keyPath) {
  struct Root {
    const char* name;
    HKEY key;
  };
  const Root roots[] = {{"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE}, {"HKEY_DYN_DATA", HKEY_DYN_DATA}};
  for (const Root& root : roots) {
    const std::size_t length = std::strlen(root.name);
    if (_strnicmp(keyPath, root.name, length) != 0 || (keyPath[length] != '\\' && keyPath[length] != '\0')) continue;
    const char* path = keyPath[length] == '\\' ? keyPath + length + 1 : "";
    HKEY key = nullptr;
    if (RegOpenKeyExA(root.key, path, 0, KEY_READ, &key) != ERROR_SUCCESS) {
      std::printf("{\"found\": false, \"values\": []}\n");
      return 1;
    }
    const std::string values = DumpValues(key);
    RegCloseKey(key);
    std::printf("{\"found\": true, \"values\": [%s]}\n", values.c_str());
    return 0;
  }
  std::fprintf(stderr, "korvane-probe: unknown root key in %s\n", keyPath);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int status = 2;
  if (argc == 4 && std::strcmp(argv[1], "window") == 0)
    status = ProbeWindow(static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)), argv[3]);
  else if (argc == 2 && std::strcmp(argv[1], "count") == 0)
    status = Count();
  else if (argc >= 3 && std::strcmp(argv[1], "dump") == 0)
    status = Dump(argv[2]);
  else
    std::fprintf(stderr, "usage: korvane-probe window TIMEOUT_MS ok|enter|escape|close|none\n"
                         "       korvane-probe count\n"
                         "       korvane-probe dump ROOT\\PATH\n");
  std::fflush(stdout);
  return status;
}
