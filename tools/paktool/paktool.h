// paktool: the console tool for pak archives and the skit catalogue, for the
// people who build and inspect content and for support. It works on the
// product's own archive and catalogue code; nothing here re-reads the format.
#pragma once

#include <ostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tools/paktool/description.h"

// Exit statuses.
constexpr int PAKTOOL_OK = 0;
constexpr int PAKTOOL_FAILED = 1;     // a file or format error, reported naming the file
constexpr int PAKTOOL_BAD_USAGE = 2;  // bad arguments; the usage goes with the complaint

// Runs one command. args is the command line without the program's name.
// Results go to out, complaints to err; never throws, never shows a window.
int RunPaktool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// A failure whose text is complete as it stands (it names its file).
class ToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Whole files through the product's cFile; failures name the file.
std::string ReadWholeFile(const std::string& path);

// Reads the JSON description at path (comments allowed: descriptions are
// written and kept by hand) and hands it to read; a parse error or a
// DescriptionError comes back as a ToolError naming the file.
template <typename Reader>
auto ReadDescriptionFile(const std::string& path, Reader read) -> decltype(read(std::declval<const Json&>())) {
  const std::string text = ReadWholeFile(path);
  try {
    return read(Json::parse(text, nullptr, true, true));
  } catch (const Json::parse_error& e) {
    // "[json.exception.parse_error.101] parse error at line 3, ..." without its tag.
    std::string what = e.what();
    const size_t tag = what.find("] ");
    throw ToolError(path + ": " + (tag == std::string::npos ? what : what.substr(tag + 2)));
  } catch (const DescriptionError& e) {
    throw ToolError(path + ": " + e.what());
  }
}
void WriteWholeFile(const std::string& path, const void* data, size_t size);
