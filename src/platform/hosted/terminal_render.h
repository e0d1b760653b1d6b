// Draws notices and dialog templates as UTF-8 text for the terminal, to scale: four
// horizontal dialog units to a column, eight vertical ones to a row.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/hosted/dialog_templates.h"

namespace korvane::hosted {

struct ListContents {
  int id = 0;
  std::vector<std::string> entries;  // UTF-8, in insertion order
  std::size_t firstVisible = 0;      // scroll position
};

// Columns a UTF-8 text takes on the terminal (full-width characters take two).
std::size_t DisplayWidth(std::string_view text);

// The dialog with its title bar, headings, bordered lists (entries cut at the list's edge,
// scrolled to firstVisible), the OK button and the notice. `foreground` marks a window that
// another instance has just brought to the front.
std::string RenderDialog(const DialogTemplate& dialog, const std::vector<ListContents>& lists, bool foreground);
// A message box with the caption, the text and an OK button.
std::string RenderNotice(std::string_view caption, std::string_view text, bool foreground);
// How many entries a list shows at once.
std::size_t VisibleRows(const ControlTemplate& list);

}  // namespace korvane::hosted
