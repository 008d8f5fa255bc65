// cleardata.exe: a console program; everything it does is in cleardata::Run.
// Its report goes to standard output in the system's ANSI code page, where
// the setup (which runs in that code page, not in this program's UTF-8)
// reads it into its details. It imports only system libraries that Windows
// takes from its own folder, and loads no other.
#include <windows.h>

#include <cwchar>
#include <sstream>
#include <string>
#include <vector>

#include "base/library_search.h"
#include "tools/cleardata/cleardata.h"

int wmain(int argc, wchar_t** argv) {
  UseSystemFolderForLibraries();
  const std::vector<std::wstring> args(argv + 1, argv + argc);
  std::wostringstream report;
  const int status = cleardata::Run(args, report);
  const std::wstring text = report.str();
  if (!text.empty()) {
    // A character the code page lacks shows as its default character, never
    // as a look-alike: the report names folders, and a look-alike would name
    // another.
    UINT codePage = CP_ACP;
    wchar_t number[8] = {};
    if (GetLocaleInfoW(LOCALE_SYSTEM_DEFAULT, LOCALE_IDEFAULTANSICODEPAGE, number, 8) > 0)
      codePage = static_cast<UINT>(wcstoul(number, nullptr, 10));
    if (codePage == 0) codePage = CP_ACP;
    const DWORD flags = codePage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    const int size = WideCharToMultiByte(codePage, flags, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) {
      WideCharToMultiByte(codePage, flags, text.data(), static_cast<int>(text.size()), bytes.data(), size, nullptr,
                          nullptr);
    }
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  }
  return status;
}
