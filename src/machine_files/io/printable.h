// Text as korvane-sim's messages quote it: names from hives and machine files, link targets.
// Their control characters are escaped, so that no name can drive the terminal a message is
// shown on. (The screen draws dialogs' texts with its own escapes, as glyphs of a width.)
#pragma once

#include <string>
#include <string_view>

namespace korvane::sim {

// Whether a message escapes the character `c`: a C0 control, DEL or a C1 control.
bool IsControlCharacter(char32_t c);

// Appends the escape a message shows for a control character or a byte: "\x1B".
void AppendEscape(unsigned char code, std::string* out);

// UTF-8 text with each control character escaped; a C1 one, which UTF-8 writes as C2 80 to
// C2 9F, by its code.
std::string EscapeControls(std::string_view utf8);

// EscapeControls of the text, cut in its middle between whole characters when it is longer
// than a message can quote.
std::string Printable(std::string_view utf8);

}  // namespace korvane::sim
