// The simulated machine's screen: what the run showed (for the report), drawn on the
// terminal unless the run is a --json one, waiting for Enter or Escape only when standard
// input and the screen are both a terminal.
#pragma once

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "korvane-sim/screen/dialog_drawing.h"
#include "platform/sim/sim_screen.h"

namespace korvane::sim {

struct ShownWindow {
  enum class Kind { kNone, kNotice, kDialog };
  Kind kind = Kind::kNone;
  std::string caption;  // notices, ANSI bytes
  std::string text;     // notices, ANSI bytes
  unsigned templateId = 0;
  std::map<int, std::vector<std::string>> lists;  // dialogs: list id -> entries (ANSI), insertion order
  bool iconSet = false;
};

class Terminal final : public SimScreen {
 public:
  // `terminal` is where it is drawn: standard output, unless that carries a file.
  // The picture is in the character set of the environment's locale.
  Terminal(bool draw, unsigned codePage, std::FILE* terminal = stdout)
      : draw_(draw),
        codePage_(codePage),
        terminal_(terminal),
        charset_(draw ? TerminalCharset::FromEnvironment() : TerminalCharset::Utf8()) {}

  // Called around the time a window of the dialog class exists.
  void SetWindowHooks(std::function<void()> opened, std::function<void()> closed) {
    opened_ = std::move(opened);
    closed_ = std::move(closed);
  }

  // Asked before each window is shown: false shows nothing, and the window ends at once.
  void SetShowGate(std::function<bool()> gate) { gate_ = std::move(gate); }

  // The templates and the icon are those of the resource script built into korvane-sim.
  bool DialogControls(unsigned templateId, std::vector<DialogControl>* controls) const override;
  bool HasIcon(unsigned id) const override;
  void ShowNotice(const std::string& caption, const std::string& text) override;
  void ShowDialog(unsigned templateId, const std::vector<int>& listIds,
                  const std::map<int, std::vector<std::string>>& lists, bool iconSet) override;

  const ShownWindow& WhatWasShown() const { return shown_; }

 private:
  void Present(const std::function<std::string(bool foreground)>& render, std::vector<std::size_t>* scroll,
               const std::vector<std::size_t>& scrollLimits);

  bool draw_;
  unsigned codePage_;
  std::FILE* terminal_;
  TerminalCharset charset_;
  ShownWindow shown_;
  std::function<void()> opened_;
  std::function<void()> closed_;
  std::function<bool()> gate_;
};

}  // namespace korvane::sim
