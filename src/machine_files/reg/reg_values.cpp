// The .reg parser's value lines: a quoted text, a dword, or hex data continued over lines,
// stored into the key of the key line before them; a 5.00 file's UTF-16 text data narrowed to
// the machine's ANSI view.
#include <algorithm>
#include <cstdio>

#include "machine_files/reg/reg_parser.h"
#include "machine_files/reg/utf16_text.h"
#include "platform/sim/code_pages.h"

namespace korvane::sim {

using platform::kRegBinary;
using platform::kRegDword;
using platform::kRegSz;

namespace {

bool StartsWithFolded(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsFolded(text.substr(0, prefix.size()), prefix);
}

}  // namespace

bool RegParser::ParseValueLine() {
  if (line_[0] != '@' && line_[0] != '"')
    return Fail("expected a key line, a value line or a comment, found " + Quote(line_));
  if (current_ == nullptr)
    return Fail(afterDeletion_ ? "value line after a key deletion, with no key line before it"
                               : "value line before any key line");
  std::size_t at = 0;
  name_.clear();
  if (line_[0] == '@') {
    at = 1;
  } else if (!ParseQuoted(&at, &name_, "value name")) {
    return false;
  }
  if (const std::size_t length = CharacterCount(name_); length > kMaxValueNameLength)
    return Fail("value name of " + std::to_string(length) + " characters: a registry value name has at most " +
                std::to_string(kMaxValueNameLength));
  SkipBlanks(&at);
  if (at == line_.size() || line_[at] != '=') return Fail("expected '=' after the value name");
  ++at;
  SkipBlanks(&at);
  if (at == line_.size() || line_[at] == ';') return Fail("no value data after '='");

  const int valueLine = lineNumber_;
  const std::string_view data = line_.substr(at);
  data_.clear();
  std::uint32_t type = kRegSz;
  bool hex = false;
  if (data.front() == '-') {
    if (!EndOfValue(at + 1)) return false;
    current_->RemoveValue(name_);
    return true;
  }
  if (data.front() == '"') {
    if (!ParseQuoted(&at, &data_, "string")) return false;
    if (!EndOfValue(at)) return false;
    data_.push_back('\0');
  } else if (StartsWithFolded(data, "dword:")) {
    type = kRegDword;
    at += 6;
    std::uint32_t number = 0;
    if (!ParseHexNumber(&at, &number)) return Fail("bad dword: it takes 1 to 8 hex digits");
    if (!EndOfValue(at)) return false;
    for (int shift = 0; shift < 32; shift += 8) data_.push_back(static_cast<char>((number >> shift) & 0xFF));
  } else if (StartsWithFolded(data, "hex:")) {
    type = kRegBinary;
    hex = true;
    if (!ParseHex(at + 4)) return false;
  } else if (StartsWithFolded(data, "hex(")) {
    at += 4;
    if (!ParseHexNumber(&at, &type) || line_.substr(at, 2) != "):")
      return Fail("bad value type " + Quote(data.substr(0, std::min(data.find(':'), data.size() - 1) + 1)) +
                  ": hex(N): takes a type of 1 to 8 hex digits");
    hex = true;
    if (!ParseHex(at + 2)) return false;
  } else {
    const std::size_t end = data.find_first_of(":\" \t");
    const std::size_t shown = end == std::string_view::npos ? data.size() : data[end] == ':' ? end + 1 : end;
    return Fail("unknown value type " + Quote(data.substr(0, shown)));
  }

  if (hex && format_ == RegFileFormat::kVersion5 && IsTextType(type) && !NarrowTextData(type, valueLine))
    return false;
  current_->PutValue(name_, type, std::vector<std::uint8_t>(data_.begin(), data_.end()));
  return true;
}

// A quoted text starting at line_[*at] == '"', escapes resolved, appended to `out`.
bool RegParser::ParseQuoted(std::size_t* at, std::string* out, const char* what) {
  std::size_t i = *at + 1;
  for (;;) {
    std::size_t j = i;
    if (codePage_ == kCodePageJapanese) {
      while (j < line_.size() && line_[j] != '"' && line_[j] != '\\') j += AnsiCharLength(codePage_, line_, j);
    } else {
      while (j < line_.size() && line_[j] != '"' && line_[j] != '\\') ++j;
    }
    out->append(line_.data() + i, j - i);
    if (j == line_.size() || (line_[j] == '\\' && j + 1 == line_.size()))
      return Fail(std::string("unterminated ") + what + ": no closing '\"'");
    if (line_[j] == '"') {
      *at = j + 1;
      return true;
    }
    const std::size_t escape = kRegEscapeLetters.find(line_[j + 1]);
    if (escape == std::string_view::npos)
      return Fail(std::string("bad escape ") + Quote(line_.substr(j, 2)) + " in " + what +
                  " (a backslash is written \\\\ and a quote \\\")");
    out->push_back(kRegEscaped[escape]);
    i = j + 2;
  }
}

// 1 to 8 hex digits from line_[*at], as a dword's data and a hex(N) type are written; false
// for none or more.
bool RegParser::ParseHexNumber(std::size_t* at, std::uint32_t* number) const {
  std::size_t digits = 0;
  *number = 0;
  for (; *at < line_.size() && HexDigit(line_[*at]) >= 0; ++*at, ++digits)
    *number = (*number << 4) | static_cast<std::uint32_t>(HexDigit(line_[*at]));
  return digits > 0 && digits <= 8;
}

// Nothing but blanks or a comment may follow a value.
bool RegParser::EndOfValue(std::size_t at) {
  SkipBlanks(&at);
  if (at == line_.size() || line_[at] == ';') return true;
  return Fail("junk after the value: " + Quote(line_.substr(at)));
}

// Comma-separated bytes from line_[at], continued on the next line after a final '\'.
bool RegParser::ParseHex(std::size_t at) {
  bool expectByte = true;
  bool any = false;
  for (;;) {
    SkipBlanks(&at);
    if (at == line_.size() || line_[at] == ';') {
      if (any && expectByte) return Fail("truncated hex data: the line ends in ',' without a '\\' to continue it");
      return true;
    }
    const char c = line_[at];
    if (c == '\\') {
      if (!IsBlankText(line_.substr(at + 1)))
        return Fail("junk after the '\\' that continues the hex data: " + Quote(line_.substr(at + 1)));
      if (!NextLine()) return Fail("truncated hex data: the file ends after a '\\' that continues it");
      if (!CheckNoNul() || !CheckEncodable()) return false;
      at = 0;
      SkipBlanks(&at);
      if (at == line_.size() || (HexDigit(line_[at]) < 0 && line_[at] != ','))
        return Fail("truncated hex data: this line does not continue the hex data of the line before");
      continue;
    }
    if (!expectByte) {
      if (c != ',') return Fail("junk after the hex data: " + Quote(line_.substr(at)));
      expectByte = true;
      ++at;
      continue;
    }
    // Most bytes are two digits and a comma.
    if (at + 2 < line_.size() && line_[at + 2] == ',') {
      const int high = HexDigit(c), low = HexDigit(line_[at + 1]);
      if ((high | low) >= 0) {
        data_.push_back(static_cast<char>(high << 4 | low));
        any = true;
        at += 3;
        continue;
      }
    }
    const std::size_t start = at;
    int byte = 0;
    while (at < line_.size() && at - start < 2 && HexDigit(line_[at]) >= 0) byte = (byte << 4) | HexDigit(line_[at++]);
    if (at < line_.size() && HexDigit(line_[at]) >= 0)
      return Fail("bad hex byte " + Quote(line_.substr(start, 3)) + ": more than two digits");
    if (at == start && c == ',') return Fail("missing hex byte before ','");
    if (at == start ||
        (at < line_.size() && !IsBlank(line_[at]) && line_[at] != ',' && line_[at] != '\\' && line_[at] != ';'))
      return Fail("bad hex byte " + Quote(line_.substr(start, line_.find_first_of(", \t\\", start) - start)));
    data_.push_back(static_cast<char>(byte));
    any = true;
    expectByte = false;
  }
}

// 5.00 files hold text-type data as UTF-16LE; the machine keeps its ANSI view.
bool RegParser::NarrowTextData(std::uint32_t type, int valueLine) {
  char name[16];
  std::snprintf(name, sizeof name, "hex(%x)", static_cast<unsigned>(type));
  if (data_.size() % 2 != 0)
    return FailAt(valueLine, std::string(name) + " data of odd length: a 5.00 file holds it as UTF-16LE text");
  narrowed_.clear();
  char32_t missing = 0;
  if (!NarrowUtf16Data(data_, codePage_, 0, &narrowed_, &missing))
    return FailAt(valueLine,
                  std::string(name) + " data holds character " + CodePointName(missing) + ", which " + NoFormText());
  data_.swap(narrowed_);
  return true;
}

}  // namespace korvane::sim
