// Running paktool in-process for the tests, with its two streams captured.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "tools/paktool/paktool.h"

struct PaktoolRun {
  int Status = -1;
  std::string Out;
  std::string Err;
};

inline PaktoolRun RunTool(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  PaktoolRun run;
  run.Status = RunPaktool(args, out, err);
  run.Out = out.str();
  run.Err = err.str();
  return run;
}
