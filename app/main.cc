#include "app/program.h"

int main(int argc, char* argv[]) { return vmrsmgr::run_program(argc, argv); }
