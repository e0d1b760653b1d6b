#include "korvane-sim/screen/resource_script.h"

#include <cctype>
#include <cstdlib>
#include <map>
#include <memory>

#include "korvane-sim/embedded_files.h"

namespace korvane::sim {

namespace {

// The constants of <windows.h> that the script uses.
const std::map<std::string, long long>& WindowsConstants() {
  static const std::map<std::string, long long> constants = {
      {"WS_POPUP", 0x80000000LL},   {"WS_CHILD", 0x40000000LL},  {"WS_VISIBLE", 0x10000000LL},
      {"WS_CAPTION", 0x00C00000LL}, {"WS_BORDER", 0x00800000LL}, {"WS_SYSMENU", 0x00080000LL},
      {"WS_VSCROLL", 0x00200000LL}, {"WS_GROUP", 0x00020000LL},  {"WS_TABSTOP", 0x00010000LL},
      {"DS_MODALFRAME", 0x80},      {"DS_SETFONT", 0x40},        {"BS_DEFPUSHBUTTON", 0x1},
      {"LBS_NOTIFY", 0x1},          {"LBS_SORT", 0x2},           {"LBS_NOINTEGRALHEIGHT", 0x100},
      {"LBS_NOSEL", 0x4000},        {"SS_LEFT", 0x0},            {"SS_CENTERIMAGE", 0x200},
      {"IDOK", 1},                  {"IDCANCEL", 2},             {"LANG_NEUTRAL", 0},
      {"SUBLANG_NEUTRAL", 0},       {"LANG_ENGLISH", 0x09},      {"SUBLANG_ENGLISH_US", 0x01},
      {"LANG_JAPANESE", 0x11},      {"SUBLANG_DEFAULT", 0x01},   {"VS_VERSION_INFO", 1},
  };
  return constants;
}

struct Token {
  enum class Kind { kWord, kNumber, kString, kPunct, kEnd } kind = Kind::kEnd;
  std::string text;
  long long number = 0;
  int line = 0;
};

class Parser {
 public:
  // `file` names the text in messages.
  Parser(std::string_view file, std::string_view text, std::map<std::string, std::string>* defines)
      : file_(file), text_(text), defines_(defines) {}

  // Keeps the first error: what follows it is read out of step.
  bool Fail(const std::string& message) {
    if (error_.empty()) error_ = std::string(file_) + ":" + std::to_string(line_) + ": " + message;
    return false;
  }
  const std::string& Error() const { return error_; }

  // Next token after comments and preprocessor lines; #define lines are recorded.
  Token Next() {
    for (;;) {
      SkipBlanks();
      if (pos_ >= text_.size()) return Token{Token::Kind::kEnd, "", 0, line_};
      if (atLineStart_ && text_[pos_] == '#') {
        Directive();
        continue;
      }
      atLineStart_ = false;
      break;
    }
    Token token;
    token.line = line_;
    const char c = text_[pos_];
    if (c == '"') {
      token.kind = Token::Kind::kString;
      ++pos_;
      while (pos_ < text_.size() && text_[pos_] != '"' && text_[pos_] != '\n') token.text += text_[pos_++];
      if (pos_ >= text_.size() || text_[pos_] != '"') {
        Fail("unterminated string");
        token.kind = Token::Kind::kEnd;
        return token;
      }
      ++pos_;
    } else if (std::isdigit(static_cast<unsigned char>(c))) {
      token.kind = Token::Kind::kNumber;
      char* end = nullptr;
      token.number = std::strtoll(text_.data() + pos_, &end, 0);
      const std::size_t length = static_cast<std::size_t>(end - (text_.data() + pos_));
      token.text = std::string(text_.substr(pos_, length));
      pos_ += length;
      while (pos_ < text_.size() && (text_[pos_] == 'L' || text_[pos_] == 'l')) ++pos_;
    } else if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
      token.kind = Token::Kind::kWord;
      while (pos_ < text_.size() && (std::isalnum(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '_'))
        token.text += text_[pos_++];
    } else {
      token.kind = Token::Kind::kPunct;
      token.text = std::string(1, c);
      ++pos_;
    }
    return token;
  }

  // A value: | of numbers, names and negated numbers, up to the next comma or line end.
  bool Expression(Token first, long long* value) {
    *value = 0;
    Token token = first;
    for (;;) {
      long long term = 0;
      if (!Term(token, &term)) return false;
      *value |= term;
      const std::size_t saved = pos_;
      const int savedLine = line_;
      const bool savedStart = atLineStart_;
      Token next = Next();
      if (next.kind == Token::Kind::kPunct && next.text == "|") {
        token = Next();
        continue;
      }
      pos_ = saved;
      line_ = savedLine;
      atLineStart_ = savedStart;
      return true;
    }
  }

  int line_ = 1;

 private:
  bool Term(Token token, long long* value) {
    bool negative = false;
    if (token.kind == Token::Kind::kPunct && token.text == "-") {
      negative = true;
      token = Next();
    }
    if (token.kind == Token::Kind::kNumber) {
      *value = negative ? -token.number : token.number;
      return true;
    }
    if (token.kind == Token::Kind::kWord) {
      const auto known = WindowsConstants().find(token.text);
      if (known != WindowsConstants().end()) {
        *value = negative ? -known->second : known->second;
        return true;
      }
      const auto defined = defines_->find(token.text);
      if (defined != defines_->end() && depth_ < 16) {
        Parser inner(file_, defined->second, defines_);
        inner.depth_ = depth_ + 1;
        long long inner_value = 0;
        if (!inner.Expression(inner.Next(), &inner_value)) return Fail("bad value of " + token.text);
        *value = negative ? -inner_value : inner_value;
        return true;
      }
      return Fail("unknown name " + token.text);
    }
    return Fail("expected a value, found '" + token.text + "'");
  }

  void SkipBlanks() {
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c == '\n') {
        ++line_;
        ++pos_;
        atLineStart_ = true;
      } else if (c == ' ' || c == '\t' || c == '\r' || c == ',') {
        if (c == ',') return;
        ++pos_;
      } else if (text_.substr(pos_, 2) == "//") {
        while (pos_ < text_.size() && text_[pos_] != '\n') ++pos_;
      } else if (text_.substr(pos_, 2) == "/*") {
        const std::size_t end = text_.find("*/", pos_ + 2);
        for (std::size_t i = pos_; i < (end == std::string_view::npos ? text_.size() : end); ++i)
          if (text_[i] == '\n') ++line_;
        pos_ = end == std::string_view::npos ? text_.size() : end + 2;
      } else {
        return;
      }
    }
  }

  void Directive() {
    std::size_t end = text_.find('\n', pos_);
    if (end == std::string_view::npos) end = text_.size();
    std::string_view directive = text_.substr(pos_, end - pos_);
    pos_ = end;
    if (directive.substr(0, 7) != "#define") return;
    directive.remove_prefix(7);
    const std::size_t nameStart = directive.find_first_not_of(" \t");
    if (nameStart == std::string_view::npos) return;
    const std::size_t nameEnd = directive.find_first_of(" \t\r", nameStart);
    const std::string name(directive.substr(nameStart, nameEnd - nameStart));
    std::string value = nameEnd == std::string_view::npos ? "" : std::string(directive.substr(nameEnd));
    (*defines_)[name] = value;
  }

  std::string_view file_;
  std::string_view text_;
  std::map<std::string, std::string>* defines_;
  std::size_t pos_ = 0;
  bool atLineStart_ = true;
  int depth_ = 0;
  std::string error_;
};

bool IsWord(const Token& token, const char* word) { return token.kind == Token::Kind::kWord && token.text == word; }

bool ExpectComma(Parser& parser, Token& token) {
  token = parser.Next();
  if (token.kind == Token::Kind::kPunct && token.text == ",") {
    token = parser.Next();
    return true;
  }
  return parser.Fail("expected ','");
}

bool Numbers(Parser& parser, Token token, int count, long long* values) {
  for (int i = 0; i < count; ++i) {
    if (i > 0 && !ExpectComma(parser, token)) return false;
    if (!parser.Expression(token, &values[i])) return false;
  }
  return true;
}

bool SkipVersionInfo(Parser& parser) {
  int depth = 0;
  for (Token token = parser.Next(); token.kind != Token::Kind::kEnd; token = parser.Next()) {
    if (token.kind != Token::Kind::kWord) continue;
    if (token.text == "BEGIN") ++depth;
    if (token.text == "END" && depth > 0 && --depth == 0) return true;
  }
  return parser.Fail("VERSIONINFO without its END");
}

// CONTROL "text", id, "class", style, x, y, cx, cy (CONTROL already read).
bool ParseControl(Parser& parser, ControlTemplate* control) {
  const Token text = parser.Next();
  if (text.kind != Token::Kind::kString) return parser.Fail("expected the control's text");
  control->text = text.text;
  Token next;
  long long value = 0;
  if (!ExpectComma(parser, next) || !parser.Expression(next, &value)) return false;
  control->id = static_cast<int>(value);
  if (!ExpectComma(parser, next)) return false;
  if (next.kind != Token::Kind::kString) return parser.Fail("expected the control's class");
  control->className = next.text;
  if (!ExpectComma(parser, next) || !parser.Expression(next, &value)) return false;
  control->style = static_cast<std::uint32_t>(value);
  long long rect[4] = {};
  if (!ExpectComma(parser, next) || !Numbers(parser, next, 4, rect)) return false;
  control->x = static_cast<int>(rect[0]);
  control->y = static_cast<int>(rect[1]);
  control->cx = static_cast<int>(rect[2]);
  control->cy = static_cast<int>(rect[3]);
  return true;
}

// The controls after the dialog's BEGIN, up to its END.
bool ParseControls(Parser& parser, std::vector<ControlTemplate>* controls) {
  for (Token line = parser.Next(); !IsWord(line, "END"); line = parser.Next()) {
    if (!IsWord(line, "CONTROL")) return parser.Fail("expected CONTROL or END");
    ControlTemplate control;
    if (!ParseControl(parser, &control)) return false;
    controls->push_back(std::move(control));
  }
  return true;
}

// x, y, cx, cy and the STYLE, CAPTION and FONT statements up to BEGIN (DIALOG already read).
bool ParseDialog(Parser& parser, DialogTemplate* dialog) {
  long long box[4] = {};
  if (!Numbers(parser, parser.Next(), 4, box)) return false;
  dialog->x = static_cast<int>(box[0]);
  dialog->y = static_cast<int>(box[1]);
  dialog->cx = static_cast<int>(box[2]);
  dialog->cy = static_cast<int>(box[3]);
  for (Token statement = parser.Next(); !IsWord(statement, "BEGIN"); statement = parser.Next()) {
    long long value = 0;
    if (statement.kind != Token::Kind::kWord) return parser.Fail("expected a dialog statement");
    if (statement.text == "STYLE") {
      if (!parser.Expression(parser.Next(), &value)) return false;
      dialog->style = static_cast<std::uint32_t>(value);
    } else if (statement.text == "CAPTION") {
      const Token caption = parser.Next();
      if (caption.kind != Token::Kind::kString) return parser.Fail("expected the caption");
      dialog->caption = caption.text;
    } else if (statement.text == "FONT") {
      if (!parser.Expression(parser.Next(), &value)) return false;
      dialog->fontSize = static_cast<int>(value);
      Token name;
      if (!ExpectComma(parser, name)) return false;
      if (name.kind != Token::Kind::kString) return parser.Fail("expected the font name");
      dialog->fontName = name.text;
    } else {
      return parser.Fail("unknown dialog statement " + statement.text);
    }
  }
  return ParseControls(parser, &dialog->controls);
}

// The script's resources: LANGUAGE statements, and an id followed by ICON, VERSIONINFO or
// DIALOG. Only the dialogs are kept.
bool ParseResources(Parser& parser, std::vector<DialogTemplate>* dialogs) {
  std::uint16_t language = 0;
  for (Token token = parser.Next(); token.kind != Token::Kind::kEnd; token = parser.Next()) {
    if (IsWord(token, "LANGUAGE")) {
      long long parts[2] = {};
      if (!Numbers(parser, parser.Next(), 2, parts)) return false;
      language = static_cast<std::uint16_t>((parts[1] << 10) | parts[0]);
      continue;
    }
    long long id = 0;
    if (!parser.Expression(token, &id)) return false;
    const Token kind = parser.Next();
    if (IsWord(kind, "ICON")) {
      if (parser.Next().kind != Token::Kind::kString) return parser.Fail("expected the icon file");
    } else if (IsWord(kind, "VERSIONINFO")) {
      // Nothing the terminal draws: its statements and nested blocks are passed over whole.
      if (!SkipVersionInfo(parser)) return false;
    } else if (IsWord(kind, "DIALOG")) {
      DialogTemplate dialog;
      dialog.id = static_cast<unsigned>(id);
      dialog.language = language;
      if (!ParseDialog(parser, &dialog)) return false;
      dialogs->push_back(std::move(dialog));
    } else {
      return parser.Fail("expected DIALOG, ICON or VERSIONINFO after " + token.text);
    }
  }
  // An unterminated string ends the tokens as the end of the text does.
  return parser.Error().empty();
}

struct BuiltInTemplates {
  std::vector<DialogTemplate> dialogs;
  std::string error;
};

const BuiltInTemplates& TheBuiltInTemplates() {
  static const BuiltInTemplates templates = [] {
    BuiltInTemplates parsed;
    ParseDialogTemplates(reinterpret_cast<const char*>(embedded::kResourceScript),
                         reinterpret_cast<const char*>(embedded::kResourceHeader), &parsed.dialogs, &parsed.error);
    return parsed;
  }();
  return templates;
}

}  // namespace

bool ParseDialogTemplates(std::string_view script, std::string_view header, std::vector<DialogTemplate>* out,
                          std::string* error) {
  out->clear();
  std::map<std::string, std::string> defines;
  Parser headerParser("resource.h", header, &defines);
  while (headerParser.Next().kind != Token::Kind::kEnd) {
  }
  Parser parser("korvane.rc", script, &defines);
  if (headerParser.Error().empty() && ParseResources(parser, out)) return true;
  *error = headerParser.Error().empty() ? parser.Error() : headerParser.Error();
  out->clear();
  return false;
}

bool CheckDialogTemplates(std::string* error) {
  if (TheBuiltInTemplates().error.empty()) return true;
  *error = TheBuiltInTemplates().error;
  return false;
}

const DialogTemplate* FindDialogTemplate(unsigned id) {
  for (const DialogTemplate& dialog : TheBuiltInTemplates().dialogs)
    if (dialog.id == id) return &dialog;
  return nullptr;
}

}  // namespace korvane::sim
