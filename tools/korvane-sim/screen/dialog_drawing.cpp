#include "korvane-sim/screen/dialog_drawing.h"

#include <langinfo.h>
#include <wchar.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/sim/code_pages.h"

namespace korvane::sim {

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

bool IsControl(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

// The glyphs that show a UTF-8 text in `charset`; a control character is one glyph of four
// columns, its escape, so that a cut never splits it.
std::vector<Glyph> Glyphs(std::string_view text, const TerminalCharset& charset) {
  std::vector<Glyph> glyphs;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    length = std::min(length, text.size() - i);
    char32_t code = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    if (IsControl(code)) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(code));
      glyphs.push_back(Glyph{escaped, 4});
    } else {
      const int width = IsWide(code) ? 2 : 1;
      std::string bytes = charset.IsUtf8() ? std::string(text.substr(i, length)) : charset.Encode(code);
      glyphs.push_back(bytes.empty() ? Glyph{"?", 1} : Glyph{std::move(bytes), width});
    }
    i += length;
  }
  return glyphs;
}

// A grid of terminal cells; a wide character fills its cell and leaves the next one empty.
class Canvas {
 public:
  Canvas(int columns, int rows, const TerminalCharset& charset)
      : columns_(columns), charset_(charset), cells_(static_cast<std::size_t>(rows), Row(columns, " ")) {}

  // A line-drawing character, or its ASCII stand-in where the terminal shows no UTF-8.
  const char* Frame(const char* utf8, const char* ascii) const { return charset_.IsUtf8() ? utf8 : ascii; }

  void Put(int column, int row, const std::string& glyph) {
    if (row < 0 || row >= static_cast<int>(cells_.size()) || column < 0 || column >= columns_) return;
    cells_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)] = glyph;
  }

  // Writes `text` from `column`, cut at `width` columns without splitting a wide character.
  void Text(int column, int row, std::string_view text, int width) {
    int used = 0;
    for (const Glyph& glyph : Glyphs(text, charset_)) {
      if (used + glyph.width > width) break;
      Put(column + used, row, glyph.bytes);
      for (int k = 1; k < glyph.width; ++k) Put(column + used + k, row, "");
      used += glyph.width;
    }
  }

  void Box(int column, int row, int width, int height) {
    if (width < 2 || height < 2) return;
    for (int c = 1; c < width - 1; ++c) {
      Put(column + c, row, Frame("─", "-"));
      Put(column + c, row + height - 1, Frame("─", "-"));
    }
    for (int r = 1; r < height - 1; ++r) {
      Put(column, row + r, Frame("│", "|"));
      Put(column + width - 1, row + r, Frame("│", "|"));
    }
    Put(column, row, Frame("┌", "+"));
    Put(column + width - 1, row, Frame("┐", "+"));
    Put(column, row + height - 1, Frame("└", "+"));
    Put(column + width - 1, row + height - 1, Frame("┘", "+"));
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
  const TerminalCharset& charset_;
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
  canvas.Put(0, 2, canvas.Frame("├", "+"));
  canvas.Put(width - 1, 2, canvas.Frame("┤", "+"));
}

void Button(Canvas& canvas, int column, int row, int width, std::string_view text, const TerminalCharset& charset) {
  const std::string face = "[ " + std::string(text) + " ]";
  const int faceWidth = static_cast<int>(DisplayWidth(face, charset));
  canvas.Text(column + std::max(0, (width - faceWidth) / 2), row, face, std::max(width, faceWidth));
}

}  // namespace

TerminalCharset TerminalCharset::FromEnvironment() {
  locale_t locale = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
  if (locale == static_cast<locale_t>(nullptr)) {
    // A locale that is not installed: its name still says whether the terminal is UTF-8.
    const char* name = nullptr;
    for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"})
      if (name == nullptr || *name == '\0') name = std::getenv(variable);
    std::string lower = name == nullptr ? "" : name;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower.find("utf-8") != std::string::npos || lower.find("utf8") != std::string::npos) return Utf8();
    locale = newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(nullptr));
    if (locale == static_cast<locale_t>(nullptr)) return Utf8();
  }
  if (std::strcmp(nl_langinfo_l(CODESET, locale), "UTF-8") == 0) {
    freelocale(locale);
    return Utf8();
  }
  return TerminalCharset(locale);
}

std::string TerminalCharset::Encode(char32_t c) const {
  if (IsUtf8()) {
    std::string bytes;
    AppendUtf8(c, &bytes);
    return bytes;
  }
  const locale_t previous = uselocale(locale_.get());
  char bytes[MB_LEN_MAX];
  std::mbstate_t state{};
  const std::size_t length = std::wcrtomb(bytes, static_cast<wchar_t>(c), &state);
  uselocale(previous);
  return length == static_cast<std::size_t>(-1) ? std::string() : std::string(bytes, length);
}

std::size_t DisplayWidth(std::string_view text, const TerminalCharset& charset) {
  std::size_t width = 0;
  for (const Glyph& glyph : Glyphs(text, charset)) width += static_cast<std::size_t>(glyph.width);
  return width;
}

std::size_t VisibleRows(const ControlTemplate& list) {
  const int rows = std::max(3, Rows(list.cy));
  return static_cast<std::size_t>(rows - 2);
}

std::string RenderDialog(const DialogTemplate& dialog, const std::vector<ListContents>& lists, bool foreground,
                         const TerminalCharset& charset) {
  // The client area starts below the title bar and one column in from the frame.
  constexpr int kLeft = 1;
  constexpr int kTop = 3;
  const int width = Columns(dialog.cx) + 2;
  const int height = Rows(dialog.cy) + kTop + 1;
  Canvas canvas(width, height, charset);
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
        canvas.Put(column + columns - 2, row + 1,
                   found->firstVisible > 0 ? canvas.Frame("▲", "^") : canvas.Frame("△", "-"));
        const bool more = found->firstVisible + visible < found->entries.size();
        canvas.Put(column + columns - 2, row + boxRows - 2, more ? canvas.Frame("▼", "v") : canvas.Frame("▽", "-"));
      }
    } else if (control.className == "Button") {
      Button(canvas, column, row + rows / 2, columns, control.text, charset);
    } else {
      // The dialog font is proportional and narrower than the average character the dialog
      // units are measured in: a heading may reach past its box, up to the frame.
      canvas.Text(column, row + std::max(0, rows - 1) / 2, control.text, width - 1 - column);
    }
  }
  return canvas.Picture();
}

std::string RenderNotice(std::string_view caption, std::string_view text, bool foreground,
                         const TerminalCharset& charset) {
  const int textWidth = static_cast<int>(DisplayWidth(text, charset));
  const int captionWidth =
      static_cast<int>(DisplayWidth(caption, charset) + (foreground ? DisplayWidth(kForegroundMark, charset) : 0));
  const int width = std::max({textWidth + 8, captionWidth + 10, 24});
  Canvas canvas(width, 8, charset);
  canvas.Box(0, 0, width, 8);
  TitleBar(canvas, width, caption, foreground);
  canvas.Text(4, 4, text, width - 6);
  Button(canvas, 0, 6, width, "OK", charset);
  return canvas.Picture();
}

}  // namespace korvane::sim
