#include "korvane-sim/screen/terminal.h"

#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "korvane-sim/screen/dialog_drawing.h"
#include "korvane-sim/screen/resource_script.h"
#include "platform/sim/code_pages.h"
#include "ui/resource.h"

namespace korvane::sim {

namespace {

volatile sig_atomic_t broughtToFront = 0;
void OnBroughtToFront(int) { broughtToFront = 1; }

// Raw keyboard input for as long as the window is up; the terminal is restored afterwards.
class RawTerminal {
 public:
  RawTerminal() {
    if (tcgetattr(STDIN_FILENO, &saved_) != 0) return;
    termios raw = saved_;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    active_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
  }
  ~RawTerminal() {
    if (active_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
  }
  RawTerminal(const RawTerminal&) = delete;
  RawTerminal& operator=(const RawTerminal&) = delete;

 private:
  termios saved_{};
  bool active_ = false;
};

enum class Key { kNone, kEnd, kUp, kDown, kSwitch, kClosed };

Key ReadKey() {
  char c = 0;
  const ssize_t got = read(STDIN_FILENO, &c, 1);
  if (got < 0 && errno == EINTR) return Key::kNone;
  if (got <= 0) return Key::kClosed;
  if (c == '\r' || c == '\n') return Key::kEnd;
  if (c == '\t') return Key::kSwitch;
  if (c != '\x1b') return Key::kNone;
  pollfd pending{STDIN_FILENO, POLLIN, 0};
  if (poll(&pending, 1, 50) <= 0) return Key::kEnd;  // Escape alone
  char sequence[2] = {};
  if (read(STDIN_FILENO, sequence, 2) != 2 || sequence[0] != '[') return Key::kNone;
  if (sequence[1] == 'A') return Key::kUp;
  if (sequence[1] == 'B') return Key::kDown;
  return Key::kNone;
}

// A terminal that takes escape sequences: TERM names one, and not the dumb terminal.
bool TakesEscapes() {
  const char* term = std::getenv("TERM");
  return term != nullptr && *term != '\0' && std::strcmp(term, "dumb") != 0;
}

// A redraw clears the screen first where the terminal can, else it follows a blank line.
void Draw(std::FILE* terminal, const std::string& picture, bool redraw) {
  if (redraw) std::fputs(TakesEscapes() ? "\x1b[H\x1b[2J" : "\n", terminal);
  std::fputs(picture.c_str(), terminal);
  std::fflush(terminal);
}

}  // namespace

void Terminal::Present(const std::function<std::string(bool)>& render, std::vector<std::size_t>* scroll,
                     const std::vector<std::size_t>& scrollLimits) {
  if (gate_ && !gate_()) return;
  // The handler comes first, and stays: another instance may signal as soon as the window
  // is known, and a late signal must not end this process.
  struct sigaction action {};
  action.sa_handler = OnBroughtToFront;
  sigemptyset(&action.sa_mask);
  sigaction(SIGUSR1, &action, nullptr);
  if (opened_) opened_();
  if (draw_) {
    // Keys are waited for only from someone at a terminal who sees the screen; drawn into a
    // file or a pipe, or with no keyboard, the run goes on as if OK were pressed.
    const bool interactive = isatty(STDIN_FILENO) == 1 && isatty(fileno(terminal_)) == 1;
    Draw(terminal_, render(false), false);
    if (interactive) {
      RawTerminal raw;
      std::size_t focus = 0;
      bool foreground = false;
      for (;;) {
        const Key key = ReadKey();
        if (key == Key::kEnd || key == Key::kClosed) break;
        if (broughtToFront != 0) {
          broughtToFront = 0;
          foreground = true;
        }
        if (key == Key::kSwitch && !scroll->empty()) focus = (focus + 1) % scroll->size();
        if (key == Key::kUp && !scroll->empty() && (*scroll)[focus] > 0) --(*scroll)[focus];
        if (key == Key::kDown && !scroll->empty() && (*scroll)[focus] < scrollLimits[focus]) ++(*scroll)[focus];
        Draw(terminal_, render(foreground), true);
      }
    }
  }
  if (closed_) closed_();
}

bool Terminal::DialogControls(unsigned templateId, std::vector<DialogControl>* controls) const {
  const DialogTemplate* found = FindDialogTemplate(templateId);
  if (found == nullptr) return false;
  for (const ControlTemplate& control : found->controls)
    controls->push_back(DialogControl{control.id, control.className == "ListBox"});
  return true;
}

bool Terminal::HasIcon(unsigned id) const { return id == IDR_MAINFRAME; }

void Terminal::ShowNotice(const std::string& caption, const std::string& text) {
  shown_ = ShownWindow{};
  shown_.kind = ShownWindow::Kind::kNotice;
  shown_.caption = caption;
  shown_.text = text;
  const std::string captionUtf8 = AnsiToUtf8(caption, codePage_);
  const std::string textUtf8 = AnsiToUtf8(text, codePage_);
  std::vector<std::size_t> noScroll;
  Present([&](bool foreground) { return RenderNotice(captionUtf8, textUtf8, foreground, charset_); }, &noScroll, {});
}

void Terminal::ShowDialog(unsigned templateId, const std::vector<int>& listIds,
                        const std::map<int, std::vector<std::string>>& lists, bool iconSet) {
  shown_ = ShownWindow{};
  shown_.kind = ShownWindow::Kind::kDialog;
  shown_.templateId = templateId;
  shown_.iconSet = iconSet;
  for (int id : listIds) {
    const auto found = lists.find(id);
    shown_.lists[id] = found == lists.end() ? std::vector<std::string>{} : found->second;
  }
  const DialogTemplate* dialog = FindDialogTemplate(templateId);
  if (dialog == nullptr) return;

  std::vector<ListContents> contents;
  std::vector<std::size_t> limits;
  for (const ControlTemplate& control : dialog->controls) {
    if (control.className != "ListBox") continue;
    ListContents list;
    list.id = control.id;
    for (const std::string& entry : shown_.lists[control.id]) list.entries.push_back(AnsiToUtf8(entry, codePage_));
    const std::size_t rows = VisibleRows(control);
    limits.push_back(list.entries.size() > rows ? list.entries.size() - rows : 0);
    contents.push_back(std::move(list));
  }
  std::vector<std::size_t> scroll(contents.size(), 0);
  Present(
      [&](bool foreground) {
        for (std::size_t i = 0; i < contents.size(); ++i) contents[i].firstVisible = scroll[i];
        return RenderDialog(*dialog, contents, foreground, charset_);
      },
      &scroll, limits);
}

}  // namespace korvane::sim
