// The six dialog templates as the resource script defines them, read from the copy of
// src/ui/korvane.rc that korvane-sim carries, so that the terminal shows what Windows shows.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::sim {

struct ControlTemplate {
  std::string className;  // "Button", "ListBox", "Static"
  int id = 0;             // -1 for the static texts
  std::uint32_t style = 0;
  int x = 0, y = 0, cx = 0, cy = 0;  // dialog units
  std::string text;                  // UTF-8
};

struct DialogTemplate {
  unsigned id = 0;
  std::uint16_t language = 0;  // 1033 or 1041
  int x = 0, y = 0, cx = 0, cy = 0;
  std::uint32_t style = 0;
  std::string caption;  // UTF-8
  int fontSize = 0;
  std::string fontName;  // UTF-8
  std::vector<ControlTemplate> controls;  // in template order
};

// Parses the DIALOG resources of a resource script of the form korvane.rc uses, with the
// #defines of `header`. On failure, `out` is empty and `error` names the file (korvane.rc or
// resource.h), the line and what was wrong there.
bool ParseDialogTemplates(std::string_view script, std::string_view header, std::vector<DialogTemplate>* out,
                          std::string* error);

// Whether the built-in resource script parses: a script korvane-sim cannot read would leave
// it without the dialogs it draws. False with the parse error.
bool CheckDialogTemplates(std::string* error);

// The template `id` of the built-in resource script, or null (also when the script does not
// parse, which CheckDialogTemplates tells).
const DialogTemplate* FindDialogTemplate(unsigned id);

}  // namespace korvane::sim
