// The .reg parser's lines, header and key lines: each line checked before it is parsed, and
// each key line walked into the registry from the path walked last.
#include "machine_files/reg/reg_parser.h"

#include <cstdio>
#include <cstring>

#include "machine_files/io/printable.h"
#include "platform/sim/code_pages.h"

namespace korvane::sim {

using platform::kHkeyDynData;
using platform::kHkeyLocalMachine;

namespace {

std::string_view TrimEnd(std::string_view text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
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
    if (IsControlCharacter(c) || IsLoneLeadByte(codePage, text, at)) {
      AppendEscape(first, &quoted);
    } else {
      AppendUtf8(c, &quoted);
    }
    at += length;
  }
  if (at < text.size()) quoted += "...";
  return quoted + "'";
}

}  // namespace

RegParser::RegParser(MachineText& text, std::string_view file, MemoryRegistry& registry, LoadError* error)
    : text_(text), file_(file), codePage_(registry.AnsiCodePage()), registry_(registry), error_(error) {}

bool RegParser::ReadHeader(RegFileFormat* format) {
  NextLine();
  const std::string_view header = TrimEnd(line_);
  if (header == kRegHeader4 || header == kRegHeader5) {
    *format = format_ = header == kRegHeader4 ? RegFileFormat::kRegedit4 : RegFileFormat::kVersion5;
    return true;
  }
  return Fail("missing header: the first line must be \"REGEDIT4\" or \"" + std::string(kRegHeader5) + "\"");
}

bool RegParser::Run() {
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

// --- Lines ---

// A line is taken whole: the text is read on until it holds the line's end, the lines taken
// before it dropped first, so that what is held is about a line and a chunk.
bool RegParser::NextLine() {
  std::string_view held = text_.Held();
  std::size_t end = std::string_view::npos;
  for (;;) {
    if (scanned_ < held.size()) {
      if (const void* newline = std::memchr(held.data() + scanned_, '\n', held.size() - scanned_)) {
        end = static_cast<std::size_t>(static_cast<const char*>(newline) - held.data());
        break;
      }
      scanned_ = held.size();
    }
    if (text_.Ended()) break;
    text_.Discard(next_);
    scanned_ -= next_;
    next_ = 0;
    text_.More();
    held = text_.Held();
  }
  if (next_ > held.size() || (next_ == held.size() && lineNumber_ > 0)) return false;
  if (end == std::string_view::npos) end = held.size();
  line_ = held.substr(next_, end - next_);
  if (!line_.empty() && line_.back() == '\r') line_.remove_suffix(1);
  lineStart_ = text_.Base() + next_;
  lineEnd_ = lineStart_ + line_.size();
  next_ = scanned_ = end + 1;
  ++lineNumber_;
  return true;
}

bool RegParser::FailAt(int line, std::string message) {
  *error_ = LoadError{std::string(file_), line, std::move(message)};
  return false;
}

// No line holds a NUL, a comment's included: it would cut a text short, or stand in a key
// name that no registry holds. Reading stops at the first one (MachineText), so the line that
// holds it must be refused, never skipped.
bool RegParser::CheckNoNul() {
  if (std::memchr(line_.data(), '\0', line_.size()) == nullptr) return true;
  return Fail("NUL character in the line: no key name, value name, text or comment holds one");
}

// A line to parse holds only characters of the machine's code page.
bool RegParser::CheckEncodable() {
  std::deque<Unmappable>& unmappable = text_.Unmappables();
  while (!unmappable.empty() && unmappable.front().offset < lineStart_) unmappable.pop_front();
  if (unmappable.empty() || unmappable.front().offset >= lineEnd_) return true;
  const Unmappable& bad = unmappable.front();
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

std::string RegParser::Quote(std::string_view text) const { return QuoteAnsi(text, codePage_); }

std::string RegParser::NoFormText() const {
  return "has no form in code page " + std::to_string(codePage_) + ", the machine's ANSI code page";
}

// Where `c` (ASCII) next stands in `text` from `from` as a character of its own, not as the
// trail byte of a double-byte character; npos when it does not.
std::size_t RegParser::FindChar(std::string_view text, char c, std::size_t from) const {
  if (codePage_ != kCodePageJapanese) return text.find(c, from);
  for (std::size_t at = from; at < text.size(); at += AnsiCharLength(codePage_, text, at))
    if (text[at] == c) return at;
  return std::string_view::npos;
}

// Windows limits names in characters: a double-byte character of code page 932 is one.
std::size_t RegParser::CharacterCount(std::string_view text) const {
  if (codePage_ != kCodePageJapanese) return text.size();
  std::size_t count = 0;
  for (std::size_t at = 0; at < text.size(); at += AnsiCharLength(codePage_, text, at)) ++count;
  return count;
}

bool RegParser::IsBlankText(std::string_view text) {
  for (char c : text)
    if (!IsBlank(c)) return false;
  return true;
}

std::string RegParser::CodePointName(char32_t c) {
  char text[16];
  std::snprintf(text, sizeof text, "U+%04X", static_cast<unsigned>(c));
  return text;
}

// --- Key lines ---

bool RegParser::ResolveRoot(std::string_view name, platform::RegKey* root) {
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

bool RegParser::ParseKeyLine() {
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
  std::string_view rest = separator == std::string_view::npos ? std::string_view() : path.substr(separator + 1);
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

// Exports list a key's subkeys right after it, so each key line shares all but its last
// component with the one before: the path walked last is kept, and only the part that differs
// is looked up.
RegNode* RegParser::EnsureKey(platform::RegKey root, std::string_view path) {
  if (root != chainRoot_) {
    chain_.clear();
    chainRoot_ = root;
  }
  SplitRegistryPath(path, &parts_, codePage_);
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
  while (common < chain_.size() && common < parts_.size() && EqualsFolded(chain_[common]->Name(), parts_[common]))
    ++common;
  chain_.resize(common);
  RegNode* node = common == 0 ? &registry_.Root(root) : chain_.back();
  for (std::size_t i = common; i < parts_.size(); ++i) {
    node = &node->EnsureSubkey(parts_[i]);
    chain_.push_back(node);
  }
  return node;
}

}  // namespace korvane::sim
