// Makes keys, signs files and checks signatures for the program's own
// signature scheme; see sign_tool.cpp for the commands.
#include <iostream>
#include <string>
#include <vector>

#include "tools/sign_tool.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  return RunSignTool(args, std::cout, std::cerr);
}
