// The small application and dialog framework the utility is written on: an application object
// whose InitInstance does the work, and modal dialogs bound to a template id.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/window_system.h"

namespace korvane::platform {

class CWnd {
 public:
  CWnd() = default;
  explicit CWnd(WindowRef window) : m_hWnd(window) {}
  virtual ~CWnd();
  CWnd(const CWnd&) = delete;
  CWnd& operator=(const CWnd&) = delete;

  // The child control with this id, or null. The object lives as long as this window object.
  CWnd* GetDlgItem(int id);
  std::intptr_t SendMessage(unsigned message, std::uintptr_t wParam = 0, std::intptr_t lParam = 0);

  WindowRef m_hWnd = 0;

  // Window objects come from the C heap, and a new-expression yields null when it is
  // exhausted: the utility is built without exceptions.
  static void* operator new(std::size_t size) noexcept;
  static void operator delete(void* object) noexcept;

 private:
  CWnd* firstChild_ = nullptr;  // the objects GetDlgItem made, newest first
  CWnd* nextSibling_ = nullptr;
};

class CDialog : public CWnd, private DialogCallbacks {
 public:
  CDialog(unsigned templateId, CWnd* parent);

  virtual std::intptr_t DoModal();
  virtual bool OnInitDialog();
  virtual void OnOK();
  virtual void OnCancel();

  unsigned TemplateId() const { return templateId_; }

 private:
  bool HandleInitDialog(WindowRef window) override;
  void HandleCommand(int id) override;

  unsigned templateId_;
};

class CWinApp {
 public:
  explicit CWinApp(const char* appName = nullptr);
  virtual ~CWinApp();
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;

  virtual bool InitInstance();
  virtual int ExitInstance();
  IconRef LoadIcon(unsigned id) const;

  CWnd* m_pMainWnd = nullptr;
};

// Framework set-up calls of a dialog-based application. Hosted controls and the 3-D look are
// provided by the system itself on every platform we run on, so there is nothing to load.
void AfxEnableControlContainer();
void Enable3dControls();

// The framework's per-module state: the application object of this module.
struct ModuleState {
  CWinApp* currentApp = nullptr;
};
// Defined with the other process-wide objects of the executable, first of all of them.
extern ModuleState afxModuleState;
ModuleState& AfxGetModuleState();
CWinApp* AfxGetApp();

// The framework's main routine: runs the application's InitInstance and, as InitInstance
// reports false, ends without a message loop. Returns the process's exit code.
int AfxWinMain();

}  // namespace korvane::platform
