#include "platform/hosted/machine_files/reg_reader.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/hosted/machine_files/input_file.h"
#include "platform/hosted/text_encoding.h"

namespace korvane::hosted {

using platform::kHkeyDynData;
using platform::kHkeyLocalMachine;
using platform::kRegBinary;
using platform::kRegDword;
using platform::kRegSz;

namespace {

std::string CodePointName(char32_t c) {
  char text[16];
  std::snprintf(text, sizeof text, "U+%04X", static_cast<unsigned>(c));
  return text;
}

// A character of a UTF-16 file that has no ANSI byte. It becomes '?' in the decoded text, and
// the line that holds it is refused unless it is a comment.
struct Unmappable {
  std::size_t offset;  // in the decoded text
  char32_t character;  // 0: the bytes below are no character
  std::string bytes = {};
};

// One pass over the UTF-16LE code units (after the byte-order mark), into the ANSI text of
// `codePage`.
void DecodeUtf16(std::string_view bytes, unsigned codePage, std::string* text, std::vector<Unmappable>* unmappable) {
  const std::size_t units = bytes.size() / 2;
  // A code unit gives one byte, or two for a character of code page 932.
  text->resize(codePage == kCodePageJapanese ? 2 * units : units);
  char* out = text->data();
  std::size_t length = 0;
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  for (std::size_t i = 0; i < units; ++i) {
    const char16_t unit = static_cast<char16_t>(in[2 * i] | (in[2 * i + 1] << 8));
    if (unit < 0x80) {
      out[length++] = static_cast<char>(unit);
      continue;
    }
    char32_t c = unit;
    if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < units) {
      const char16_t low = static_cast<char16_t>(in[2 * i + 2] | (in[2 * i + 3] << 8));
      if (low >= 0xDC00 && low < 0xE000) {
        c = 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    const std::size_t count = UnicodeToAnsiBytes(codePage, c, out + length);
    if (count == 0) {
      unmappable->push_back({length, c});
      out[length++] = '?';
    }
    length += count;
  }
  text->resize(length);
}

// A 5.00 file in 8-bit text, on a machine whose code page is double-byte: its text is taken
// through Unicode as the ANSI functions of Windows NT take it, so that the registry holds
// each character in the one form Windows gives it back in (code page 932 has two forms for
// some), and every text it holds has a UTF-16 form for a 5.00 file. Bytes that are no
// character are kept, and refused unless they stand in a comment.
void CanonicalizeAnsi(std::string_view bytes, unsigned codePage, std::string* text,
                      std::vector<Unmappable>* unmappable) {
  text->clear();
  text->reserve(bytes.size());
  for (std::size_t at = 0; at < bytes.size();) {
    const std::size_t length = AnsiCharLength(codePage, bytes, at);
    const std::string_view character = bytes.substr(at, length);
    at += length;
    if (static_cast<unsigned char>(character[0]) < 0x80) {
      text->push_back(character[0]);
      continue;
    }
    if (!IsAnsiCharacter(codePage, character) ||
        !UnicodeToAnsiChar(codePage, AnsiCharToUnicode(codePage, character), text)) {
      unmappable->push_back({text->size(), 0, std::string(character)});
      text->append(character);
    }
  }
}

// --- Small text helpers ---

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool IsBlankText(std::string_view text) {
  for (char c : text)
    if (!IsBlank(c)) return false;
  return true;
}

std::string_view TrimEnd(std::string_view text) {
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool StartsWithFolded(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsFolded(text.substr(0, prefix.size()), prefix);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void AppendUtf8(char32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// A short, printable excerpt of the ANSI text an error is about, for a UTF-8 terminal.
// Control bytes, C1 ones included, and bytes that are no character are shown as escapes, so
// that junk cannot drive the terminal.
std::string QuoteAnsi(std::string_view text, unsigned codePage) {
  constexpr std::size_t kLimit = 24;
  std::string quoted = "'";
  std::size_t at = 0;
  while (at < text.size() && at < kLimit) {
    const std::size_t length = AnsiCharLength(codePage, text, at);
    const char32_t c = AnsiCharToUnicode(codePage, text.substr(at, length));
    const auto first = static_cast<unsigned char>(text[at]);
    if (c < 0x20 || (c >= 0x7F && c < 0xA0) || IsLoneLeadByte(codePage, text, at)) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", first);
      quoted += escaped;
    } else {
      AppendUtf8(c, &quoted);
    }
    at += length;
  }
  if (at < text.size()) quoted += "...";
  return quoted + "'";
}


class Parser {
 public:
  Parser(std::string_view text, std::string_view file, const std::vector<Unmappable>& unmappable,
         MemoryRegistry& registry, LoadError* error)
      : text_(text),
        file_(file),
        codePage_(registry.AnsiCodePage()),
        unmappable_(unmappable),
        registry_(registry),
        error_(error) {}

  // The first line names the format; false when it is neither header.
  bool ReadHeader(RegFileFormat* format) {
    NextLine();
    const std::string_view header = TrimEnd(line_);
    if (header == kRegHeader4 || header == kRegHeader5) {
      *format = format_ = header == kRegHeader4 ? RegFileFormat::kRegedit4 : RegFileFormat::kVersion5;
      return true;
    }
    return Fail("missing header: the first line must be \"REGEDIT4\" or \"" + std::string(kRegHeader5) + "\"");
  }

  bool Run() {
    while (NextLine()) {
      if (!CheckNoNul()) return false;
      std::size_t at = 0;
      SkipBlanks(&at);
      if (at == line_.size() || line_[at] == ';') continue;
      if (!CheckEncodable()) return false;
      line_.remove_prefix(at);
      const bool parsed = line_[0] == '[' ? ParseKeyLine() : ParseValueLine();
      if (!parsed) return false;
    }
    return true;
  }

  bool Fail(std::string message) { return FailAt(lineNumber_, std::move(message)); }

 private:
  std::string Quote(std::string_view text) const { return QuoteAnsi(text, codePage_); }

  std::string NoFormText() const {
    return "has no form in code page " + std::to_string(codePage_) + ", the machine's ANSI code page";
  }

  // Where `c` (ASCII) next stands in `text` from `from` as a character of its own, not as
  // the trail byte of a double-byte character; npos when it does not.
  std::size_t FindChar(std::string_view text, char c, std::size_t from = 0) const {
    if (codePage_ != kCodePageJapanese) return text.find(c, from);
    for (std::size_t at = from; at < text.size(); at += AnsiCharLength(codePage_, text, at))
      if (text[at] == c) return at;
    return std::string_view::npos;
  }
  // Windows limits names in characters: a double-byte character of code page 932 is one.
  std::size_t CharacterCount(std::string_view text) const {
    if (codePage_ != kCodePageJapanese) return text.size();
    std::size_t count = 0;
    for (std::size_t at = 0; at < text.size(); at += AnsiCharLength(codePage_, text, at)) ++count;
    return count;
  }

  bool NextLine() {
    if (next_ > text_.size() || (next_ == text_.size() && lineNumber_ > 0)) return false;
    lineStart_ = next_;
    const void* newline =
        next_ < text_.size() ? std::memchr(text_.data() + next_, '\n', text_.size() - next_) : nullptr;
    const std::size_t end = newline == nullptr
                                ? text_.size()
                                : static_cast<std::size_t>(static_cast<const char*>(newline) - text_.data());
    line_ = text_.substr(next_, end - next_);
    if (!line_.empty() && line_.back() == '\r') line_.remove_suffix(1);
    lineEnd_ = lineStart_ + line_.size();
    next_ = newline == nullptr ? text_.size() + 1 : end + 1;
    ++lineNumber_;
    return true;
  }

  bool FailAt(int line, std::string message) {
    *error_ = LoadError{std::string(file_), line, std::move(message)};
    return false;
  }

  void SkipBlanks(std::size_t* at) const {
    while (*at < line_.size() && IsBlank(line_[*at])) ++*at;
  }

  // No line holds a NUL, a comment's included: it would cut a text short, or stand in a key
  // name that no registry holds. Reading stops at the first one (EndAtNul), so the line that
  // holds it must be refused, never skipped.
  bool CheckNoNul() {
    if (std::memchr(line_.data(), '\0', line_.size()) == nullptr) return true;
    return Fail("NUL character in the line: no key name, value name, text or comment holds one");
  }

  // A line to parse holds only characters of the machine's code page.
  bool CheckEncodable() {
    while (nextUnmappable_ < unmappable_.size() && unmappable_[nextUnmappable_].offset < lineStart_)
      ++nextUnmappable_;
    if (nextUnmappable_ == unmappable_.size() || unmappable_[nextUnmappable_].offset >= lineEnd_) return true;
    const Unmappable& bad = unmappable_[nextUnmappable_];
    if (bad.character != 0) return Fail("character " + CodePointName(bad.character) + " " + NoFormText());
    std::string shown;
    for (char byte : bad.bytes) {
      char hex[4];
      std::snprintf(hex, sizeof hex, " %02X", static_cast<unsigned char>(byte));
      shown += hex;
    }
    return Fail(std::string(bad.bytes.size() == 1 ? "byte" : "bytes") + shown +
                (bad.bytes.size() == 1 ? " is" : " are") + " no character in code page " +
                std::to_string(codePage_) + ", the machine's ANSI code page");
  }

  bool ResolveRoot(std::string_view name, platform::RegKey* root) {
    if (EqualsFolded(name, "HKEY_LOCAL_MACHINE") || EqualsFolded(name, "HKLM")) {
      *root = kHkeyLocalMachine;
      return true;
    }
    if (EqualsFolded(name, "HKEY_DYN_DATA") || EqualsFolded(name, "HKDD")) {
      *root = kHkeyDynData;
      return true;
    }
    static constexpr std::string_view kOtherRoots[] = {
        "HKEY_CLASSES_ROOT",   "HKCR", "HKEY_CURRENT_USER",    "HKCU", "HKEY_USERS", "HKU",
        "HKEY_CURRENT_CONFIG", "HKCC", "HKEY_PERFORMANCE_DATA"};
    for (std::string_view other : kOtherRoots)
      if (EqualsFolded(name, other))
        return Fail("key under " + std::string(name) +
                    ": a machine file holds only HKEY_LOCAL_MACHINE and HKEY_DYN_DATA");
    if (name.empty()) return Fail("key line without a key name");
    return Fail("unknown root key " + Quote(name));
  }

  bool ParseKeyLine() {
    // The last ']' that is a character of its own closes the key line.
    std::size_t close = std::string_view::npos;
    for (std::size_t at = FindChar(line_, ']'); at != std::string_view::npos; at = FindChar(line_, ']', at + 1))
      close = at;
    if (close == std::string_view::npos) return Fail("key line without its closing ']'");
    if (!IsBlankText(line_.substr(close + 1)))
      return Fail("junk after the key line's ']': " + Quote(line_.substr(close + 1)));
    std::string_view path = line_.substr(1, close - 1);
    const bool deletion = !path.empty() && path.front() == '-';
    if (deletion) path.remove_prefix(1);
    const std::size_t separator = FindChar(path, '\\');
    platform::RegKey root = 0;
    if (!ResolveRoot(path.substr(0, separator), &root)) return false;
    std::string_view rest =
        separator == std::string_view::npos ? std::string_view() : path.substr(separator + 1);
    while (!rest.empty() && rest.front() == '\\') rest.remove_prefix(1);

    if (deletion) {
      if (rest.empty()) return Fail("a root key cannot be deleted");
      registry_.DeleteTree(root, rest);
      chain_.clear();
      current_ = nullptr;
      afterDeletion_ = true;
      return true;
    }
    current_ = EnsureKey(root, rest);
    return current_ != nullptr;
  }

  static constexpr std::size_t kMaxKeyDepth = 512;
  static constexpr std::size_t kMaxKeyNameLength = 255;
  static constexpr std::size_t kMaxValueNameLength = 16383;

  // Exports list a key's subkeys right after it, so each key line shares all but its last
  // component with the one before: the path walked last is kept, and only the part that
  // differs is looked up.
  RegNode* EnsureKey(platform::RegKey root, std::string_view path) {
    if (root != chainRoot_) {
      chain_.clear();
      chainRoot_ = root;
    }
    parts_.clear();
    std::size_t start = 0;
    while (start < path.size()) {
      std::size_t end = FindChar(path, '\\', start);
      if (end == std::string_view::npos) end = path.size();
      if (end > start) parts_.push_back(path.substr(start, end - start));
      start = end + 1;
    }
    // No Windows registry holds a key past these limits, and regedit would not import one.
    if (parts_.size() > kMaxKeyDepth) {
      Fail("key nested " + std::to_string(parts_.size()) + " levels deep: the registry allows " +
           std::to_string(kMaxKeyDepth));
      return nullptr;
    }
    for (std::string_view part : parts_)
      if (const std::size_t length = CharacterCount(part); length > kMaxKeyNameLength) {
        Fail("key name of " + std::to_string(length) + " characters (" + Quote(part) +
             "): a registry key name has at most " + std::to_string(kMaxKeyNameLength));
        return nullptr;
      }
    std::size_t common = 0;
    while (common < chain_.size() && common < parts_.size() &&
           EqualsFolded(chain_[common]->Name(), parts_[common]))
      ++common;
    chain_.resize(common);
    RegNode* node = common == 0 ? &registry_.Root(root) : chain_.back();
    for (std::size_t i = common; i < parts_.size(); ++i) {
      node = &node->EnsureSubkey(parts_[i]);
      chain_.push_back(node);
    }
    return node;
  }

  // A quoted text starting at line_[*at] == '"', escapes resolved, appended to `out`.
  bool ParseQuoted(std::size_t* at, std::string* out, const char* what) {
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
      // The two escapes regedit writes, and the two line breaks Wine's regedit writes.
      switch (line_[j + 1]) {
        case '\\':
          out->push_back('\\');
          break;
        case '"':
          out->push_back('"');
          break;
        case 'n':
          out->push_back('\n');
          break;
        case 'r':
          out->push_back('\r');
          break;
        default:
          return Fail(std::string("bad escape ") + Quote(line_.substr(j, 2)) + " in " + what +
                      " (a backslash is written \\\\ and a quote \\\")");
      }
      i = j + 2;
    }
  }

  // Nothing but blanks or a comment may follow a value.
  bool EndOfValue(std::size_t at) {
    SkipBlanks(&at);
    if (at == line_.size() || line_[at] == ';') return true;
    return Fail("junk after the value: " + Quote(line_.substr(at)));
  }

  bool ParseValueLine() {
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
      std::size_t digits = 0;
      for (; at < line_.size() && HexDigit(line_[at]) >= 0; ++at, ++digits)
        number = (number << 4) | static_cast<std::uint32_t>(HexDigit(line_[at]));
      if (digits == 0 || digits > 8) return Fail("bad dword: it takes 1 to 8 hex digits");
      if (!EndOfValue(at)) return false;
      for (int shift = 0; shift < 32; shift += 8)
        data_.push_back(static_cast<char>((number >> shift) & 0xFF));
    } else if (StartsWithFolded(data, "hex:")) {
      type = kRegBinary;
      hex = true;
      if (!ParseHex(at + 4)) return false;
    } else if (StartsWithFolded(data, "hex(")) {
      at += 4;
      std::size_t digits = 0;
      std::uint32_t number = 0;
      for (; at < line_.size() && HexDigit(line_[at]) >= 0; ++at, ++digits)
        number = (number << 4) | static_cast<std::uint32_t>(HexDigit(line_[at]));
      if (digits == 0 || digits > 8 || line_.substr(at, 2) != "):")
        return Fail("bad value type " + Quote(data.substr(0, std::min(data.find(':'), data.size() - 1) + 1)) +
                    ": hex(N): takes a type of 1 to 8 hex digits");
      type = number;
      hex = true;
      if (!ParseHex(at + 2)) return false;
    } else {
      const std::size_t end = data.find_first_of(":\" \t");
      const std::size_t shown = end == std::string_view::npos ? data.size()
                                : data[end] == ':'            ? end + 1
                                                              : end;
      return Fail("unknown value type " + Quote(data.substr(0, shown)));
    }

    if (hex && format_ == RegFileFormat::kVersion5 && IsTextType(type) && !NarrowUtf16Data(type, valueLine))
      return false;
    current_->PutValue(name_, type, std::vector<std::uint8_t>(data_.begin(), data_.end()));
    return true;
  }

  // Comma-separated bytes from line_[at], continued on the next line after a final '\'.
  bool ParseHex(std::size_t at) {
    bool expectByte = true;
    bool any = false;
    for (;;) {
      SkipBlanks(&at);
      if (at == line_.size() || line_[at] == ';') {
        if (any && expectByte)
          return Fail("truncated hex data: the line ends in ',' without a '\\' to continue it");
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
      const std::size_t start = at;
      int byte = 0;
      while (at < line_.size() && at - start < 2 && HexDigit(line_[at]) >= 0)
        byte = (byte << 4) | HexDigit(line_[at++]);
      if (at < line_.size() && HexDigit(line_[at]) >= 0)
        return Fail("bad hex byte " + Quote(line_.substr(start, 3)) + ": more than two digits");
      if (at == start && c == ',') return Fail("missing hex byte before ','");
      if (at == start || (at < line_.size() && !IsBlank(line_[at]) && line_[at] != ',' && line_[at] != '\\' &&
                          line_[at] != ';'))
        return Fail("bad hex byte " +
                    Quote(line_.substr(start, line_.find_first_of(", \t\\", start) - start)));
      data_.push_back(static_cast<char>(byte));
      any = true;
      expectByte = false;
    }
  }

  // 5.00 files hold text-type data as UTF-16LE; the machine keeps its ANSI view.
  bool NarrowUtf16Data(std::uint32_t type, int valueLine) {
    char name[16];
    std::snprintf(name, sizeof name, "hex(%x)", static_cast<unsigned>(type));
    if (data_.size() % 2 != 0)
      return FailAt(valueLine,
                    std::string(name) + " data of odd length: a 5.00 file holds it as UTF-16LE text");
    // Each code unit becomes at most two bytes, so the text narrows in place.
    std::size_t length = 0;
    for (std::size_t i = 0; i < data_.size(); i += 2) {
      const char32_t unit =
          static_cast<unsigned char>(data_[i]) | (static_cast<unsigned char>(data_[i + 1]) << 8);
      char bytes[2];
      const std::size_t count = UnicodeToAnsiBytes(codePage_, unit, bytes);
      if (count == 0)
        return FailAt(valueLine, std::string(name) + " data holds character " + CodePointName(unit) + ", which " +
                                     NoFormText());
      for (std::size_t b = 0; b < count; ++b) data_[length++] = bytes[b];
    }
    data_.resize(length);
    return true;
  }

  std::string_view text_;
  std::string_view file_;
  unsigned codePage_;
  RegFileFormat format_ = RegFileFormat::kVersion5;
  const std::vector<Unmappable>& unmappable_;
  std::size_t nextUnmappable_ = 0;
  MemoryRegistry& registry_;
  LoadError* error_;

  std::size_t next_ = 0;  // where the next line starts
  std::size_t lineStart_ = 0;
  std::size_t lineEnd_ = 0;
  int lineNumber_ = 0;
  std::string_view line_;

  RegNode* current_ = nullptr;
  bool afterDeletion_ = false;
  platform::RegKey chainRoot_ = 0;
  std::vector<RegNode*> chain_;
  std::vector<std::string_view> parts_;
  std::string name_;
  std::string data_;
};

// A NUL makes the line that holds it an error whatever follows, so the input read up to it
// decides the load: a device that gives NULs or random bytes forever is refused at once.
std::size_t EndAtNul(std::string_view read, std::size_t from) {
  if (read.substr(0, 2) == "\xFF\xFE") {
    for (std::size_t at = std::max<std::size_t>(2, from - from % 2); at + 1 < read.size(); at += 2)
      if (read[at] == '\0' && read[at + 1] == '\0') return at + 2;
    return std::string_view::npos;
  }
  const void* nul = std::memchr(read.data() + from, '\0', read.size() - from);
  return nul == nullptr ? std::string_view::npos : static_cast<std::size_t>(static_cast<const char*>(nul) - read.data()) + 1;
}

}  // namespace

std::string LoadError::ToString() const {
  if (line == 0) return file + ": " + message;
  return file + ":" + std::to_string(line) + ": " + message;
}

bool LoadMachineText(std::string_view bytes, std::string_view displayName, MemoryRegistry& registry,
                     MachineFileInfo* info, LoadError* error) {
  LoadError unused;
  if (error == nullptr) error = &unused;
  const auto fail = [&](int line, std::string message) {
    *error = LoadError{std::string(displayName), line, std::move(message)};
    return false;
  };
  if (bytes.empty()) return fail(0, "the file is empty");

  MachineFileInfo found;
  found.codePage = registry.AnsiCodePage();
  std::string decoded;
  std::vector<Unmappable> unmappable;
  std::string_view text = bytes;
  if (bytes.substr(0, 2) == "\xFF\xFE") {
    if (bytes.size() % 2 != 0) return fail(0, "the UTF-16LE text ends in half a character");
    found.utf16 = true;
    DecodeUtf16(bytes.substr(2), registry.AnsiCodePage(), &decoded, &unmappable);
    text = decoded;
  } else if (bytes.substr(0, 2) == "\xFE\xFF") {
    return fail(1, "UTF-16 big-endian text: regedit files are UTF-16LE or 8-bit");
  } else if (bytes.substr(0, 3) == "\xEF\xBB\xBF") {
    return fail(1, "UTF-8 text: regedit files are UTF-16LE (with its byte-order mark) or 8-bit ANSI");
  } else if (bytes.size() >= 2 && bytes[0] != '\0' && bytes[1] == '\0') {
    return fail(1, "UTF-16LE text without its byte-order mark (FF FE)");
  } else if (registry.AnsiCodePage() == kCodePageJapanese && bytes.substr(0, kRegHeader5.size()) == kRegHeader5) {
    CanonicalizeAnsi(bytes, registry.AnsiCodePage(), &decoded, &unmappable);
    text = decoded;
  }

  Parser parser(text, displayName, unmappable, registry, error);
  if (!parser.ReadHeader(&found.format)) return false;
  if (info != nullptr) *info = found;
  return parser.Run();
}

bool LoadMachineFile(const std::string& path, MemoryRegistry& registry, MachineFileInfo* info,
                     LoadError* error) {
  InputBytes bytes;
  std::string message;
  if (!ReadInputFile(path, "the machine file", kMachineFileLimit, &bytes, &message, EndAtNul)) {
    if (error != nullptr) *error = LoadError{path, 0, std::move(message)};
    return false;
  }
  return LoadMachineText(bytes.View(), path, registry, info, error);
}

}  // namespace korvane::hosted
