#include "saver/link_policy.h"

#include <windows.h>

#include <algorithm>
#include <cctype>

namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

std::string FullPath(const std::string& path) {
  char buffer[MAX_PATH * 2];
  DWORD n = GetFullPathNameA(path.c_str(), sizeof buffer, buffer, nullptr);
  if (n == 0 || n >= sizeof buffer) return {};
  return buffer;
}

bool HasControlCharacter(const std::string& text) {
  return std::any_of(text.begin(), text.end(), [](unsigned char c) { return c < 32 || c == 127; });
}

}  // namespace

std::string LinkRefusal(const std::string& target, const std::vector<std::string>& protectedFolders) {
  if (target.empty()) return "Link refused: the link is empty.";
  if (HasControlCharacter(target)) return "Link refused: the link holds control characters.";
  const std::string lower = Lower(target);
  if (StartsWith(lower, "http://") || StartsWith(lower, "https://")) {
    if (target.find_first_of(" \"") != std::string::npos) return "Link refused: the address holds blanks or quotes.";
    return {};
  }
  if (StartsWith(lower, "mailto:")) return {};

  // A local program: an absolute path on a drive, to an .exe or .com file.
  if (StartsWith(target, "\\\\") || StartsWith(target, "//"))
    return "Link refused: programs on network paths are not opened.";
  const bool drivePath = target.size() > 3 && std::isalpha(static_cast<unsigned char>(target[0])) &&
                         target[1] == ':' && (target[2] == '\\' || target[2] == '/');
  if (!drivePath) return "Link refused: only web and mail addresses and programs given by full path are opened.";
  const std::string full = FullPath(target);
  if (full.empty()) return "Link refused: the program path is not valid.";
  const std::string fullLower = Lower(full);
  if (fullLower.size() < 4 || (fullLower.compare(fullLower.size() - 4, 4, ".exe") != 0 &&
                               fullLower.compare(fullLower.size() - 4, 4, ".com") != 0))
    return "Link refused: only programs (.exe, .com) are opened.";
  for (const std::string& folder : protectedFolders) {
    if (folder.empty()) continue;
    std::string root = Lower(FullPath(folder));
    if (root.empty()) continue;
    if (root.back() != '\\') root += '\\';
    if (StartsWith(fullLower, root)) return "Link refused: the program lies in a folder of downloaded content.";
  }
  return {};
}
