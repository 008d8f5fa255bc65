// Opens every dialog of the program at the DPI this process was given and
// writes down what Windows keeps of each: the window's and the client area's
// size, every control's rectangle and font, and, for every text, the room it
// needs beside the room it has. The DPI test runs it once at 96 DPI and once
// at 144 (the system DPI is fixed when a process starts, so it takes a
// process of its own) and compares the two reports.
//
//   dpi_probe REPORT [SCREENSHOT.bmp [CATALOGUE]]
//
// With a catalogue, the settings and download dialogs list its skits, and
// the report gives each entry as the list holds it, in UTF-16 turned into
// UTF-8.
//
// Report lines, one blank between fields:
//   dpi SYSTEM_DPI AWARENESS
//   dialog NAME window W H client W H dpi WINDOW_DPI
//   control NAME INDEX KIND VISIBLE LEFT TOP RIGHT BOTTOM font HEIGHT need W H room W H
//   item NAME INDEX TEXT (the rest of the line)
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "forms/application.h"
#include "forms/controls.h"
#include "forms/scaling.h"
#include "base/files.h"
#include "base/settings.h"
#include "base/text.h"
#include "saver/saver_main.h"
#include "store/catalogue.h"
#include "ui/about_form.h"
#include "ui/download_form.h"
#include "ui/progress_form.h"
#include "ui/settings_form.h"

namespace {

void Pump() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

// The awareness of this thread, as the system reports it: the manifest's
// unless something changed it.
std::string Awareness() {
  using GetContextFn = DPI_AWARENESS_CONTEXT(WINAPI*)();
  using GetAwarenessFn = DPI_AWARENESS(WINAPI*)(DPI_AWARENESS_CONTEXT);
  using EqualFn = BOOL(WINAPI*)(DPI_AWARENESS_CONTEXT, DPI_AWARENESS_CONTEXT);
  HMODULE user32 = GetModuleHandleA("user32.dll");
  auto getContext = reinterpret_cast<GetContextFn>(
      reinterpret_cast<void*>(GetProcAddress(user32, "GetThreadDpiAwarenessContext")));
  auto getAwareness = reinterpret_cast<GetAwarenessFn>(
      reinterpret_cast<void*>(GetProcAddress(user32, "GetAwarenessFromDpiAwarenessContext")));
  auto equal = reinterpret_cast<EqualFn>(
      reinterpret_cast<void*>(GetProcAddress(user32, "AreDpiAwarenessContextsEqual")));
  if (getContext == nullptr || getAwareness == nullptr || equal == nullptr) return "unknown";
  DPI_AWARENESS_CONTEXT context = getContext();
  char raw[64];
  std::snprintf(raw, sizeof raw, "%d/%p", static_cast<int>(getAwareness(context)), static_cast<void*>(context));
  std::string name = "other";
  if (equal(context, DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2))
    name = "per-monitor-v2";
  else if (getAwareness(context) == DPI_AWARENESS_PER_MONITOR_AWARE)
    name = "per-monitor";
  else if (getAwareness(context) == DPI_AWARENESS_SYSTEM_AWARE)
    name = "system";
  else if (getAwareness(context) == DPI_AWARENESS_UNAWARE)
    name = "unaware";
  return name + " " + raw;
}

std::string WindowText(HWND window) {
  char text[1024] = {};
  GetWindowTextA(window, text, sizeof text);
  return text;
}

int FontHeight(HFONT font) {
  LOGFONTA lf = {};
  if (font == nullptr || GetObjectA(font, sizeof lf, &lf) == 0) return 0;
  return lf.lfHeight < 0 ? -lf.lfHeight : lf.lfHeight;
}

// The extent of a text as DrawText lays it out: one line, or broken into
// lines at width.
SIZE Extent(HFONT font, const std::string& text, UINT format, int width = 0) {
  RECT r = {0, 0, width, 0};
  HDC dc = GetDC(nullptr);
  HGDIOBJ old = SelectObject(dc, font);
  if (!text.empty()) DrawTextA(dc, text.c_str(), static_cast<int>(text.size()), &r, format | DT_CALCRECT);
  SelectObject(dc, old);
  ReleaseDC(nullptr, dc);
  return SIZE{r.right - r.left, r.bottom - r.top};
}

struct Measure {
  std::string Kind;
  SIZE Need{0, 0};
  SIZE Room{0, 0};
};

// What a child window's text needs and has. The room is the control's
// width less what the control itself draws beside the text: a push button's
// frame, a check box's box and the gap after it, a group box's corners.
Measure MeasureWindow(HWND window, int dpi) {
  char className[64] = {};
  GetClassNameA(window, className, sizeof className);
  RECT r;
  GetClientRect(window, &r);
  const HFONT font = reinterpret_cast<HFONT>(SendMessageA(window, WM_GETFONT, 0, 0));
  const std::string text = WindowText(window);
  const LONG style = GetWindowLongA(window, GWL_STYLE);
  const int scale3 = forms::ScaleToDpi(3, dpi);
  Measure m;
  m.Room = SIZE{r.right, r.bottom};
  if (lstrcmpiA(className, "Button") == 0) {
    const LONG type = style & BS_TYPEMASK;
    m.Need = Extent(font, text, DT_SINGLELINE);
    if (type == BS_GROUPBOX) {
      m.Kind = "groupbox";
      m.Need.cx += 4 * scale3;
      m.Need.cy = 0;
    } else if (type == BS_CHECKBOX || type == BS_AUTOCHECKBOX || type == BS_RADIOBUTTON ||
               type == BS_AUTORADIOBUTTON) {
      m.Kind = "choice";
      m.Need.cx += forms::SystemMetricForDpi(SM_CXMENUCHECK, dpi) + scale3;
    } else {
      m.Kind = "button";
      m.Need.cx += 2 * scale3;
    }
  } else if (lstrcmpiA(className, "Static") == 0) {
    m.Kind = "static";
    const LONG type = style & SS_TYPEMASK;
    if (type == SS_LEFT || type == SS_CENTER || type == SS_RIGHT)
      m.Need = Extent(font, text, DT_WORDBREAK, r.right);
    else
      m.Need = Extent(font, text, DT_SINGLELINE);
  } else {
    m.Kind = className;
  }
  if (text.empty()) m.Need = SIZE{0, 0};
  return m;
}

Measure MeasureControl(forms::TControl& control, int dpi) {
  if (auto* windowed = dynamic_cast<forms::TWinControl*>(&control)) return MeasureWindow(windowed->Handle(), dpi);
  Measure m;
  m.Room = SIZE{control.Width(), control.Height()};
  if (auto* label = dynamic_cast<forms::TLabel*>(&control)) {
    m.Kind = "label";
    if (!label->Caption().empty() && !label->EndEllipsis)
      m.Need = Extent(label->Font.Handle(), label->Caption(),
                      DT_NOPREFIX | (label->WordWrap ? DT_WORDBREAK : DT_SINGLELINE), control.Width());
  } else if (dynamic_cast<forms::TImage*>(&control) != nullptr) {
    m.Kind = "image";
  } else {
    m.Kind = "graphic";
  }
  return m;
}

class Report {
 public:
  explicit Report(const char* path) : Out_(path) {}

  void Dialog(const std::string& name, HWND window) {
    RECT outer, client;
    GetWindowRect(window, &outer);
    GetClientRect(window, &client);
    Out_ << "dialog " << name << " window " << outer.right - outer.left << ' ' << outer.bottom - outer.top
         << " client " << client.right << ' ' << client.bottom << " dpi " << forms::WindowDpi(window) << '\n';
  }

  void Control(const std::string& dialog, int index, const Measure& m, bool visible, const RECT& r, int fontHeight) {
    Out_ << "control " << dialog << ' ' << index << ' ' << m.Kind << ' ' << (visible ? 1 : 0) << ' ' << r.left
         << ' ' << r.top << ' ' << r.right << ' ' << r.bottom << " font " << fontHeight << " need " << m.Need.cx
         << ' ' << m.Need.cy << " room " << m.Room.cx << ' ' << m.Room.cy << '\n';
  }

  void Form(const std::string& name, forms::TForm& form) {
    Dialog(name, form.Handle());
    int index = 0;
    for (forms::TControl* control : form.Controls()) {
      const Measure m = MeasureControl(*control, form.Dpi());
      Control(name, index++, m, control->Visible(), control->BoundsRect(), FontHeight(control->Font.Handle()));
    }
  }

  // A dialog made from a template: its child windows, in their order.
  void TemplateDialog(const std::string& name, HWND dialog) {
    Dialog(name, dialog);
    std::vector<HWND> children;
    for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
      children.push_back(child);
    int index = 0;
    for (HWND child : children) {
      RECT r;
      GetWindowRect(child, &r);
      MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
      const HFONT font = reinterpret_cast<HFONT>(SendMessageA(child, WM_GETFONT, 0, 0));
      Control(name, index++, MeasureWindow(child, forms::WindowDpi(dialog)), IsWindowVisible(child) != FALSE, r,
              FontHeight(font));
    }
  }

  void Line(const std::string& text) { Out_ << text << '\n'; }

  void Items(const char* name, HWND list) {
    const int count = static_cast<int>(SendMessageW(list, LB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
      std::wstring text(static_cast<size_t>(SendMessageW(list, LB_GETTEXTLEN, i, 0)) + 1, L'\0');
      text.resize(static_cast<size_t>(SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(text.data()))));
      Line(std::string("item ") + name + " " + std::to_string(i) + " " + Utf8FromWide(text));
    }
  }

 private:
  std::ofstream Out_;
};

// The window as the screen shows it, frame and caption included, as a
// 24-bit BMP file.
bool Screenshot(HWND window, const char* path) {
  SetWindowPos(window, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
  Pump();
  RECT r;
  GetWindowRect(window, &r);
  const int width = r.right - r.left, height = r.bottom - r.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
  GdiFlush();
  const DWORD stride = ((static_cast<DWORD>(width) * 3 + 3) / 4) * 4;
  BITMAPFILEHEADER file = {};
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof file + sizeof info.bmiHeader;
  file.bfSize = file.bfOffBits + stride * static_cast<DWORD>(height);
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(&file), sizeof file);
  out.write(reinterpret_cast<const char*>(&info.bmiHeader), sizeof info.bmiHeader);
  out.write(static_cast<const char*>(bits), static_cast<std::streamsize>(stride * static_cast<DWORD>(height)));
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return out.good();
}

template <typename Form>
void Show(Form& form) {
  form.Show();
  UpdateWindow(form.Handle());
  Pump();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: dpi_probe REPORT [SCREENSHOT.bmp]\n");
    return 2;
  }
  forms::Application.Initialize();
  cSettings settings;
  if (argc > 3) {
    settings.OpsFilePath = argv[3];
    SplitPath(settings.OpsFilePath, &settings.SkitsPath, nullptr);
    TheSkitManager = new cSkitManager(false);
  }
  Report report(argv[1]);
  report.Line("dpi " + std::to_string(forms::SystemDpi()) + " " + Awareness());
  {
    TForm_Settings_Dem dialog;
    Show(dialog);
    report.Form("settings", dialog);
    report.Items("settings", dialog.CheckListBox_Skits.Handle());
    if (argc > 2 && !Screenshot(dialog.Handle(), argv[2])) return 1;

    TForm_Download download(&dialog, dialog.ItemCount, dialog.Items, nullptr);
    Show(download);
    report.Form("download", download);
    report.Items("download", download.CheckListBox_Skits.Handle());
  }
  {
    TForm_AboutBox_Dem about(nullptr);
    Show(about);
    report.Form("about", about);
  }
  {
    TForm_DownloadProgress progress(nullptr, nullptr);
    Show(progress);
    progress.SetProcessText("Downloading files...");
    report.Form("progress", progress);
  }
  {
    HWND dialog = ShowCloseSaverDialog(forms::Application.Handle());
    if (dialog == nullptr) return 1;
    Pump();
    report.TemplateDialog("closesaver", dialog);
    forms::TForm::UnregisterDialog(dialog);
    DestroyWindow(dialog);
  }
  report.Line("end");
  delete TheSkitManager;
  TheSkitManager = nullptr;
  return 0;
}
