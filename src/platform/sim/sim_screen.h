// The simulated PC's screen, as its window system and its message box use it: the dialog
// templates it knows, and the notices and modal dialogs it shows. korvane-sim draws them on
// the terminal.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace korvane::sim {

struct DialogControl {
  int id = 0;
  bool listBox = false;
};

class SimScreen {
 public:
  virtual ~SimScreen() = default;

  // The controls of the dialog template `templateId`, or false when there is no such template.
  virtual bool DialogControls(unsigned templateId, std::vector<DialogControl>* controls) const = 0;
  // Whether the program's resources hold the icon group `id`.
  virtual bool HasIcon(unsigned id) const = 0;
  virtual void ShowNotice(const std::string& caption, const std::string& text) = 0;
  // `listIds`: the lists the template has, so that empty ones are shown too.
  virtual void ShowDialog(unsigned templateId, const std::vector<int>& listIds,
                          const std::map<int, std::vector<std::string>>& lists, bool iconSet) = 0;
};

}  // namespace korvane::sim
