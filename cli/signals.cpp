#include "cli/signals.h"

#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdio>

#include "host/host_files.h"
#include "host/pauses.h"
#include "transport/transport.h"

namespace {

constexpr std::array<int, 3> kSignals = {SIGINT, SIGTERM, SIGHUP};

volatile std::sig_atomic_t g_caught = 0;
volatile std::sig_atomic_t g_kind = 0;
std::array<struct sigaction, kSignals.size()> g_previous{};
bool g_watching = false;

// Ends the process by this signal's default action, from anywhere (also from
// within its own handler, where it is blocked).
void DieBy(int signal) {
  std::signal(signal, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  raise(signal);
  _exit(128 + signal);
}

void OnSignal(int signal) {
  if (g_caught != 0) {
    vexo_RestoreLineFromSignal();
    vexo_DiscardHostTargetFromSignal();
    DieBy(signal);
  }
  g_caught = signal;
  vexo_RequestStop();
  vexo_StopTransfer(g_kind, 0);
}

}  // namespace

void vexo_WatchSignals(int32_t kind) {
  vexo_UnwatchSignals();
  g_caught = 0;
  g_kind = kind;
  vexo_ClearStopRequest();
  struct sigaction action {};
  action.sa_handler = OnSignal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int signal : kSignals) sigaddset(&action.sa_mask, signal);
  for (std::size_t i = 0; i < kSignals.size(); ++i) {
    sigaction(kSignals[i], nullptr, &g_previous[i]);
    // A run started with a signal ignored (in the background, under nohup)
    // keeps ignoring it.
    if (g_previous[i].sa_handler != SIG_IGN) sigaction(kSignals[i], &action, nullptr);
  }
  g_watching = true;
}

void vexo_UnwatchSignals() {
  if (!g_watching) return;
  for (std::size_t i = 0; i < kSignals.size(); ++i) sigaction(kSignals[i], &g_previous[i], nullptr);
  g_watching = false;
}

int vexo_CaughtSignal() { return g_caught; }

void vexo_EndIfSignalled() {
  const int signal = g_caught;
  if (signal == 0) return;
  std::fflush(stdout);
  vexo_UnwatchSignals();
  DieBy(signal);
}
