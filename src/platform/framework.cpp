#include "platform/framework.h"

#include "platform/services.h"

namespace korvane::platform {

CWnd* CWnd::GetDlgItem(int id) {
  const WindowRef child = Windows().GetDlgItem(m_hWnd, id);
  if (child == 0) return nullptr;
  for (const auto& known : children_)
    if (known->m_hWnd == child) return known.get();
  children_.push_back(std::make_unique<CWnd>(child));
  return children_.back().get();
}

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
