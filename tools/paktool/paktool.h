// paktool: the console tool for pak archives and the skit catalogue, for the
// people who build and inspect content and for support. It works on the
// product's own archive and catalogue code; nothing here re-reads the format.
#pragma once

#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

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
void WriteWholeFile(const std::string& path, const void* data, size_t size);
