#include "platform/framework.h"

#include <cstdlib>

#include "platform/services.h"

namespace korvane::platform {

CWnd* CWnd::GetDlgItem(int id) {
  const WindowRef child = Windows().GetDlgItem(m_hWnd, id);
  if (child == 0) return nullptr;
  for (CWnd* known = firstChild_; known != nullptr; known = known->nextSibling_)
    if (known->m_hWnd == child) return known;
  CWnd* made = new CWnd(child);
  if (made == nullptr) return nullptr;
  made->nextSibling_ = firstChild_;
  firstChild_ = made;
  return made;
}

CWnd::~CWnd() {
  while (firstChild_ != nullptr) {
    CWnd* child = firstChild_;
    firstChild_ = child->nextSibling_;
    delete child;
  }
}

void* CWnd::operator new(std::size_t size) noexcept { return std::malloc(size); }
void CWnd::operator delete(void* object) noexcept { std::free(object); }

std::intptr_t CWnd::SendMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
  return Windows().SendMessage(m_hWnd, message, wParam, lParam);
}

CDialog::CDialog(unsigned templateId, CWnd* /*parent*/) : templateId_(templateId) {}

std::intptr_t CDialog::DoModal() {
  const std::intptr_t result = Windows().RunModalDialog(templateId_, *this);
  m_hWnd = 0;
  return result;
}

bool CDialog::OnInitDialog() { return true; }
void CDialog::OnOK() { Windows().EndDialog(m_hWnd, kIdOk); }
void CDialog::OnCancel() { Windows().EndDialog(m_hWnd, kIdCancel); }

bool CDialog::HandleInitDialog(WindowRef window) {
  m_hWnd = window;
  return OnInitDialog();
}

void CDialog::HandleCommand(int id) {
  if (id == kIdOk)
    OnOK();
  else if (id == kIdCancel)
    OnCancel();
}

ModuleState& AfxGetModuleState() { return afxModuleState; }
CWinApp* AfxGetApp() { return AfxGetModuleState().currentApp; }

CWinApp::CWinApp(const char* /*appName*/) { AfxGetModuleState().currentApp = this; }
CWinApp::~CWinApp() {
  if (AfxGetModuleState().currentApp == this) AfxGetModuleState().currentApp = nullptr;
}
bool CWinApp::InitInstance() { return true; }
int CWinApp::ExitInstance() { return 0; }
IconRef CWinApp::LoadIcon(unsigned id) const { return Windows().LoadIcon(id); }

void AfxEnableControlContainer() {}
void Enable3dControls() {}

int AfxWinMain() {
  CWinApp* app = AfxGetApp();
  if (app == nullptr) return -1;
  if (!app->InitInstance()) return app->ExitInstance();
  // Every path of this utility's InitInstance reports false; an application that reported
  // true would have its message loop here. It has no main window left to run one for.
  return app->ExitInstance();
}

}  // namespace korvane::platform
