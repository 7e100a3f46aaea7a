// The program's entry: everything happens in RunTaverly. The arguments are
// ignored; the command line is read again from the platform.
#include "App/main.h"

int main(int, char**, char**) { return RunTaverly(); }
