#include "forms/application.h"

#include <objbase.h>

#include "forms/form.h"

namespace forms {

TApplication Application;

namespace {
const char kApplicationClass[] = "TApplication";
}

TApplication::~TApplication() {
  // Forms still alive at exit are left to the process's end: their windows
  // belong to a thread that is already gone.
  if (Handle_ != nullptr) DestroyWindow(Handle_);
  if (ComInitialized_) CoUninitialize();
}

HINSTANCE TApplication::Instance() const { return GetModuleHandleA(nullptr); }

void TApplication::Initialize() {
  if (Handle_ != nullptr) return;
  // The thread of the forms is a single-threaded COM apartment before any
  // of them can ask the shell for anything: ShellExecute may hand the work
  // to a shell extension that needs one. OLE1 DDE stays off, as the shell
  // asks of its callers.
  ComInitialized_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE));
  WNDCLASSA wc = {};
  wc.lpfnWndProc = &TApplication::WindowProc;
  wc.hInstance = Instance();
  wc.hIcon = LoadIconA(Instance(), "MAINICON");
  wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  wc.lpszClassName = kApplicationClass;
  RegisterClassA(&wc);
  if (Title_.empty()) {
    char module[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, module, MAX_PATH);
    std::string name = module;
    name = name.substr(name.find_last_of("\\/:") + 1);
    Title_ = name.substr(0, name.rfind('.'));
  }
  // Never shown: it exists to be found by title and to own the forms.
  Handle_ = CreateWindowExA(0, kApplicationClass, Title_.c_str(), WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
                            0, 0, 0, 0, nullptr, nullptr, Instance(), nullptr);
}

void TApplication::SetTitle(const std::string& title) {
  Title_ = title;
  if (Handle_ != nullptr) SetWindowTextA(Handle_, Title_.c_str());
}

void TApplication::AdoptForm(TForm* form) {
  Forms_.push_back(form);
  if (MainForm_ == nullptr) MainForm_ = form;
  form->CreateHandle();
}

void TApplication::Run() {
  if (MainForm_ == nullptr) return;
  MainForm_->ShowIfVisible();
  MSG msg;
  while (!Terminated_) {
    BOOL got = GetMessageA(&msg, nullptr, 0, 0);
    if (got == 0 || got == -1) break;
    if (!TForm::PreTranslate(msg)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
  }
}

void TApplication::ProcessMessages() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      Terminated_ = true;
      break;
    }
    if (!TForm::PreTranslate(msg)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
  }
}

void TApplication::Terminate() {
  if (!Terminated_) {
    Terminated_ = true;
    PostQuitMessage(0);
  }
}

void TApplication::FormDestroyed(TForm* form) {
  if (form == MainForm_) {
    MainForm_ = nullptr;
    Terminate();
  }
}

void TApplication::DestroyForms() {
  MainForm_ = nullptr;
  std::vector<TForm*> forms;
  forms.swap(Forms_);
  for (auto it = forms.rbegin(); it != forms.rend(); ++it) delete *it;
}

void TApplication::ShowException(const std::exception& error) noexcept {
  try {
    std::string text = error.what();
    if (!text.empty() && text.back() > '.') text += '.';
    ShowExceptionText(text.c_str());
  } catch (...) {
    // No memory for the full stop: the text as it is.
    ShowExceptionText(error.what());
  }
}

void TApplication::ShowExceptionText(const char* text) noexcept {
  ::MessageBoxA(nullptr, text, Title_.c_str(), MB_OK | MB_ICONSTOP | MB_TASKMODAL);
}

int TApplication::ShowMessageBox(const std::string& text, const std::string& caption, UINT flags) {
  HWND owner = GetActiveWindow();
  return ::MessageBoxA(owner, text.c_str(), caption.c_str(), flags);
}

LRESULT CALLBACK TApplication::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  try {
    if (message == WM_SYSCOMMAND && (wParam & 0xFFF0) == SC_RESTORE) {
      // A second copy asks this one to come forward.
      if (TForm* main = Application.MainForm(); main != nullptr && main->Handle() != nullptr) {
        if (IsIconic(main->Handle())) ShowWindow(main->Handle(), SW_RESTORE);
        SetForegroundWindow(main->Handle());
      }
      return 0;
    }
  } catch (...) {
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

void ShowMessage(const std::string& text) {
  Application.ShowMessageBox(text, Application.Title(), MB_OK);
}

}  // namespace forms
