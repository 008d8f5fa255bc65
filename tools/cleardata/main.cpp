// cleardata.exe: a console program; everything it does is in cleardata::Run.
// Its report goes to standard output in the ANSI code page, where the setup
// reads it into its details. It imports only system libraries that Windows
// takes from its own folder, and loads no other.
#include <windows.h>

#include <sstream>
#include <string>
#include <vector>

#include "tools/cleardata/cleardata.h"

int wmain(int argc, wchar_t** argv) {
  const std::vector<std::wstring> args(argv + 1, argv + argc);
  std::wostringstream report;
  const int status = cleardata::Run(args, report);
  const std::wstring text = report.str();
  if (!text.empty()) {
    const int size = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                         nullptr);
    std::string bytes(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) {
      WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size, nullptr, nullptr);
    }
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  }
  return status;
}
