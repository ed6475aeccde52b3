#include "cli/cli.h"
#include "cli/signals.h"

int main(int argc, char** argv) {
  vexo_TakeLocale();
  const int status = vexo_Main(argc, argv);
  vexo_EndIfSignalled();
  return status;
}
