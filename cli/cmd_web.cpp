#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "cli/cli.h"
#include "cli/commands.h"
#include "cli/signals.h"
#include "cli/web_server.h"
#include "base/result_codes.h"

int cmd_Web(int32_t kind, int32_t port, int32_t slot, const char* listen, const char* imagePath) {
  WebConfig config;
  config.kind = kind;
  config.port = port;
  config.slot = slot;
  config.speed = SerialBaudRate;
  config.imagePath = imagePath;
  config.listen = listen != nullptr ? listen : "";
  WebSession session;
  std::string why;
  const VexoResult started = session.Start(config, &why);
  if (started != 0) {
    std::printf("\n Error: %s\n", vexo_ResultMessage(started));
    if (!why.empty()) std::printf(" %s\n", why.c_str());
    return VEXO_EXIT_FAILED;
  }
  if (session.Exposed()) {
    std::printf(" Warning: %s is not a loopback address: other computers can reach this page.\n",
                config.listen.c_str());
  }
  std::printf(" Open %s in a browser; Ctrl-C ends.\n", session.Url().c_str());
  std::fflush(stdout);
  while (vexo_CaughtSignal() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  session.Stop();
  std::printf(" Web page closed.\n");
  return VEXO_EXIT_DONE;
}
