// The application object of our small form library: a hidden top-level window
// of class "TApplication" that carries the program's title, owns the forms,
// and runs the message loop until the main form closes.
#pragma once

#include <windows.h>

#include <exception>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace forms {

class TForm;

// The form library's own exception: a message meant for the user.
class Exception : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  std::string Message() const { return what(); }
};

class TApplication {
 public:
  TApplication() = default;
  TApplication(const TApplication&) = delete;
  TApplication& operator=(const TApplication&) = delete;
  ~TApplication();

  // Makes the calling thread the forms' thread: a COM apartment, and the
  // hidden application window (once).
  void Initialize();
  void SetTitle(const std::string& title);
  const std::string& Title() const { return Title_; }
  HWND Handle() const { return Handle_; }
  HINSTANCE Instance() const;

  // Creates a form; the first one created becomes the main form.
  template <typename T, typename... Args>
  T* CreateForm(Args&&... args) {
    T* form = new T(std::forward<Args>(args)...);
    AdoptForm(form);
    return form;
  }
  TForm* MainForm() const { return MainForm_; }

  // Runs the message loop until the main form closes; returns at once when
  // there is no main form.
  void Run();
  // Processes the messages waiting in the queue, then returns.
  void ProcessMessages();
  // Ends the message loop (the main form calls it when it closes).
  void Terminate();
  bool Terminated() const { return Terminated_; }

  // The standard displays: an exception's message, and a plain message box,
  // both captioned with the title. The exception displays never throw: they
  // are the last step of every boundary's wall.
  void ShowException(const std::exception& error) noexcept;
  void ShowExceptionText(const char* text) noexcept;
  int ShowMessageBox(const std::string& text, const std::string& caption, UINT flags);

  // Called with each form that TForm::ShowModal has just shown, before its
  // message loop starts.
  std::function<void(TForm&)> OnModalBegin;

  // Called by TForm when a form's window is destroyed.
  void FormDestroyed(TForm* form);
  // Destroys the remaining forms (at shutdown).
  void DestroyForms();

 private:
  void AdoptForm(TForm* form);
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  HWND Handle_ = nullptr;
  bool ComInitialized_ = false;
  std::string Title_;
  TForm* MainForm_ = nullptr;
  std::vector<TForm*> Forms_;  // owned; deleted by DestroyForms
  bool Terminated_ = false;
};

extern TApplication Application;

// A plain message box captioned with the application title, OK button.
void ShowMessage(const std::string& text);

}  // namespace forms
