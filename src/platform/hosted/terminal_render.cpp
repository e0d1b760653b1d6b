#include "platform/hosted/terminal_render.h"

#include <algorithm>

namespace korvane::hosted {

namespace {

constexpr int kUnitsPerColumn = 4;
constexpr int kUnitsPerRow = 8;
constexpr char kForegroundMark[] = "  (brought to the front)";

// One UTF-8 character with the columns it takes.
struct Glyph {
  std::string bytes;
  int width;
};

bool IsWide(char32_t c) {
  return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) || (c >= 0xAC00 && c <= 0xD7A3) ||
         (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
         (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD);
}

std::vector<Glyph> Glyphs(std::string_view text) {
  std::vector<Glyph> glyphs;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    length = std::min(length, text.size() - i);
    char32_t code = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    const int width = code < 0x20 ? 0 : IsWide(code) ? 2 : 1;
    glyphs.push_back(Glyph{std::string(text.substr(i, length)), width});
    i += length;
  }
  return glyphs;
}

// A grid of terminal cells; a wide character fills its cell and leaves the next one empty.
class Canvas {
 public:
  Canvas(int columns, int rows) : columns_(columns), cells_(static_cast<std::size_t>(rows), Row(columns, " ")) {}

  void Put(int column, int row, const std::string& glyph) {
    if (row < 0 || row >= static_cast<int>(cells_.size()) || column < 0 || column >= columns_) return;
    cells_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)] = glyph;
  }

  // Writes `text` from `column`, cut at `width` columns without splitting a wide character.
  void Text(int column, int row, std::string_view text, int width) {
    int used = 0;
    for (const Glyph& glyph : Glyphs(text)) {
      if (glyph.width == 0) continue;
      if (used + glyph.width > width) break;
      Put(column + used, row, glyph.bytes);
      if (glyph.width == 2) Put(column + used + 1, row, "");
      used += glyph.width;
    }
  }

  void Box(int column, int row, int width, int height) {
    if (width < 2 || height < 2) return;
    for (int c = 1; c < width - 1; ++c) {
      Put(column + c, row, "─");
      Put(column + c, row + height - 1, "─");
    }
    for (int r = 1; r < height - 1; ++r) {
      Put(column, row + r, "│");
      Put(column + width - 1, row + r, "│");
    }
    Put(column, row, "┌");
    Put(column + width - 1, row, "┐");
    Put(column, row + height - 1, "└");
    Put(column + width - 1, row + height - 1, "┘");
  }

  std::string Picture() const {
    std::string out;
    for (const Row& row : cells_) {
      std::string line;
      for (const std::string& cell : row) line += cell;
      while (!line.empty() && line.back() == ' ') line.pop_back();
      out += line + "\n";
    }
    return out;
  }

 private:
  using Row = std::vector<std::string>;
  int columns_;
  std::vector<Row> cells_;
};

int Columns(int units) { return (units + kUnitsPerColumn - 1) / kUnitsPerColumn; }
int Rows(int units) { return (units + kUnitsPerRow - 1) / kUnitsPerRow; }

void TitleBar(Canvas& canvas, int width, std::string_view caption, bool foreground) {
  canvas.Box(0, 0, width, 3);
  std::string title = std::string(caption);
  if (foreground) title += kForegroundMark;
  canvas.Text(2, 1, title, width - 8);
  canvas.Text(width - 4, 1, "[x]", 3);
  canvas.Put(0, 2, "├");
  canvas.Put(width - 1, 2, "┤");
}

void Button(Canvas& canvas, int column, int row, int width, std::string_view text) {
  const std::string face = "[ " + std::string(text) + " ]";
  const int faceWidth = static_cast<int>(DisplayWidth(face));
  canvas.Text(column + std::max(0, (width - faceWidth) / 2), row, face, std::max(width, faceWidth));
}

}  // namespace

std::size_t DisplayWidth(std::string_view text) {
  std::size_t width = 0;
  for (const Glyph& glyph : Glyphs(text)) width += static_cast<std::size_t>(glyph.width);
  return width;
}

std::size_t VisibleRows(const ControlTemplate& list) {
  const int rows = std::max(3, Rows(list.cy));
  return static_cast<std::size_t>(rows - 2);
}

std::string RenderDialog(const DialogTemplate& dialog, const std::vector<ListContents>& lists, bool foreground) {
  // The client area starts below the title bar and one column in from the frame.
  constexpr int kLeft = 1;
  constexpr int kTop = 3;
  const int width = Columns(dialog.cx) + 2;
  const int height = Rows(dialog.cy) + kTop + 1;
  Canvas canvas(width, height);
  canvas.Box(0, 0, width, height);
  TitleBar(canvas, width, dialog.caption, foreground);

  for (const ControlTemplate& control : dialog.controls) {
    const int column = kLeft + control.x / kUnitsPerColumn;
    const int row = kTop + control.y / kUnitsPerRow;
    const int columns = Columns(control.cx);
    const int rows = Rows(control.cy);
    if (control.className == "ListBox") {
      const int boxRows = std::max(3, rows);
      canvas.Box(column, row, columns, boxRows);
      const auto found = std::find_if(lists.begin(), lists.end(),
                                      [&](const ListContents& list) { return list.id == control.id; });
      if (found == lists.end()) continue;
      const std::size_t visible = VisibleRows(control);
      const int inner = columns - 3;  // less the border and the scroll bar column
      for (std::size_t i = 0; i < visible && found->firstVisible + i < found->entries.size(); ++i)
        canvas.Text(column + 1, row + 1 + static_cast<int>(i), found->entries[found->firstVisible + i], inner);
      if (found->entries.size() > visible) {
        canvas.Put(column + columns - 2, row + 1, found->firstVisible > 0 ? "▲" : "△");
        const bool more = found->firstVisible + visible < found->entries.size();
        canvas.Put(column + columns - 2, row + boxRows - 2, more ? "▼" : "▽");
      }
    } else if (control.className == "Button") {
      Button(canvas, column, row + rows / 2, columns, control.text);
    } else {
      // The dialog font is proportional and narrower than the average character the dialog
      // units are measured in: a heading may reach past its box, up to the frame.
      canvas.Text(column, row + std::max(0, rows - 1) / 2, control.text, width - 1 - column);
    }
  }
  return canvas.Picture();
}

std::string RenderNotice(std::string_view caption, std::string_view text, bool foreground) {
  const int textWidth = static_cast<int>(DisplayWidth(text));
  const int captionWidth = static_cast<int>(DisplayWidth(caption) + (foreground ? DisplayWidth(kForegroundMark) : 0));
  const int width = std::max({textWidth + 8, captionWidth + 10, 24});
  Canvas canvas(width, 8);
  canvas.Box(0, 0, width, 8);
  TitleBar(canvas, width, caption, foreground);
  canvas.Text(4, 4, text, width - 6);
  Button(canvas, 0, 6, width, "OK");
  return canvas.Picture();
}

}  // namespace korvane::hosted
