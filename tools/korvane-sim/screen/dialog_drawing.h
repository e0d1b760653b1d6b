// Draws notices and dialog templates as text for the terminal, to scale: four horizontal
// dialog units to a column, eight vertical ones to a row. Control characters, C1 ones
// included, are shown escaped (\x9B), never sent to the terminal.
#pragma once

#include <locale.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "korvane-sim/screen/resource_script.h"

namespace korvane::sim {

// The character set the terminal shows: UTF-8, or the locale's own, in which the frame is
// drawn in ASCII and a character the set lacks is '?'.
class TerminalCharset {
 public:
  static TerminalCharset Utf8() { return TerminalCharset(nullptr); }
  // The one the environment's locale names (LC_ALL, LC_CTYPE, LANG), as a program that
  // called setlocale would use it; this process's own locale is left as it is.
  static TerminalCharset FromEnvironment();

  bool IsUtf8() const { return locale_ == nullptr; }
  // The bytes that show `c`, a character that is no control; empty when the set lacks it.
  std::string Encode(char32_t c) const;

 private:
  struct FreeLocale {
    void operator()(locale_t locale) const { freelocale(locale); }
  };
  explicit TerminalCharset(locale_t locale) : locale_(locale) {}
  std::unique_ptr<std::remove_pointer_t<locale_t>, FreeLocale> locale_;
};

struct ListContents {
  int id = 0;
  std::vector<std::string> entries;  // UTF-8, in insertion order
  std::size_t firstVisible = 0;      // scroll position
};

// Columns a UTF-8 text takes on the terminal (full-width characters take two, an escaped
// control four).
std::size_t DisplayWidth(std::string_view text, const TerminalCharset& charset);

// The dialog with its title bar, headings, bordered lists (entries cut at the list's edge,
// scrolled to firstVisible), the OK button and the notice. `foreground` marks a window that
// another instance has just brought to the front.
// Texts are UTF-8; the picture is in `charset`.
std::string RenderDialog(const DialogTemplate& dialog, const std::vector<ListContents>& lists, bool foreground,
                         const TerminalCharset& charset);
// A message box with the caption, the text and an OK button.
std::string RenderNotice(std::string_view caption, std::string_view text, bool foreground,
                         const TerminalCharset& charset);
// How many entries a list shows at once.
std::size_t VisibleRows(const ControlTemplate& list);

}  // namespace korvane::sim
