// Tells what Taverly would do with a product folder, and why, without running
// it; see plan_tool.cpp for the command line.
#include <iostream>
#include <string>
#include <vector>

#include "tools/plan_tool.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  return RunPlanTool(args, std::cout, std::cerr);
}
