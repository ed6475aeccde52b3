#include "cli/cli.h"

int main(int argc, char** argv) { return vexo_Main(argc, argv); }
