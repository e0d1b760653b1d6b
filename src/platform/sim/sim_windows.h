// Modal dialogs on the simulated machine: the window is the template's controls in memory;
// list boxes take LB_INSERTSTRING, and the screen shows the result.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/sim/sim_screen.h"
#include "platform/window_system.h"

namespace korvane::sim {

class SimWindows final : public platform::WindowSystem {
 public:
  explicit SimWindows(SimScreen& screen) : screen_(screen) {}

  std::intptr_t RunModalDialog(unsigned templateId, platform::DialogCallbacks& callbacks) override;
  void EndDialog(platform::WindowRef dialog, std::intptr_t result) override;
  platform::WindowRef GetDlgItem(platform::WindowRef dialog, int id) override;
  std::intptr_t SendMessage(platform::WindowRef window, unsigned message, std::uintptr_t wParam,
                            std::intptr_t lParam) override;
  platform::IconRef LoadIcon(unsigned id) override;

 private:
  struct Dialog {
    unsigned templateId = 0;
    std::vector<int> controlIds;
    std::vector<int> listIds;
    std::map<int, std::vector<std::string>> lists;
    bool iconSet = false;
    bool ended = false;
    std::intptr_t result = 0;
  };

  SimScreen& screen_;
  bool running_ = false;
  Dialog dialog_;
};

}  // namespace korvane::sim
