// A simulated player for the length of a scope: starts the player, points
// the serial driver's device path at its pty, shortens vexo_Delay through
// playersim_DelayHook, and undoes all of it (closing the line first) when it
// ends. For tests and benchmarks; the port is not opened here.
#pragma once

#include "drivers/serial/ser_port.h"
#include "sim/player_sim.h"
#include "host/pauses.h"

struct PlayerSimSession {
  explicit PlayerSimSession(const PlayerSimConfig& config, bool shortenDelays = true)
      : started(playersim_Start(config)) {
    if (started) ser_SetDevicePathOverride(playersim_DevicePath().c_str());
    if (shortenDelays) vexo_SetDelayHook(playersim_DelayHook);
  }
  ~PlayerSimSession() {
    vexo_serial_Close(1);
    vexo_SetDelayHook(nullptr);
    playersim_Stop();
    ser_SetDevicePathOverride(nullptr);
  }
  PlayerSimSession(const PlayerSimSession&) = delete;
  PlayerSimSession& operator=(const PlayerSimSession&) = delete;
  bool started;
};
