#include "sim/mmc_departures.h"

#include <string>

#include "sim/mmc_sim.h"

namespace {

struct DepartureName {
  uint64_t MmcSimCounters::*counter;
  const char* one;
  const char* many;
};
constexpr DepartureName kDepartures[] = {
    {&MmcSimCounters::badTokens, "bad token", "bad tokens"},
    {&MmcSimCounters::illegalCommands, "illegal command", "illegal commands"},
    {&MmcSimCounters::earlyCommands, "early command", "early commands"},
    {&MmcSimCounters::cutCommands, "command cut short", "commands cut short"},
    {&MmcSimCounters::registerBits, "fixed data-register bit wrong", "fixed data-register bits wrong"},
    {&MmcSimCounters::commandMode, "command-mode bit wrong", "command-mode bits wrong"},
    {&MmcSimCounters::earlyBlocks, "early block", "early blocks"},
    {&MmcSimCounters::unconfirmedSamples, "unconfirmed status read", "unconfirmed status reads"},
    {&MmcSimCounters::conflicts, "line conflict", "line conflicts"},
    {&MmcSimCounters::strayAccesses, "stray port access", "stray port accesses"},
};

uint64_t g_departuresRetired = 0;  // departures of counters since reset or removed
std::string g_lastRetiredSummary;

}  // namespace

void mmcsim::RetireDepartures() {
  const uint64_t departures = mmcsim_Departures();
  if (departures == 0) return;
  g_departuresRetired += departures;
  g_lastRetiredSummary = mmcsim_DepartureSummary();
}

uint64_t mmcsim_Departures() {
  uint64_t total = 0;
  for (const DepartureName& d : kDepartures) total += mmcsim_Counters().*d.counter;
  return total;
}

std::string mmcsim_DepartureSummary() {
  const uint64_t total = mmcsim_Departures();
  if (total == 0) return "";
  std::string text = std::to_string(total) + (total == 1 ? " bus departure:" : " bus departures:");
  const char* separator = " ";
  for (const DepartureName& d : kDepartures) {
    const uint64_t n = mmcsim_Counters().*d.counter;
    if (n == 0) continue;
    text += separator + std::to_string(n) + " " + (n == 1 ? d.one : d.many);
    separator = ", ";
  }
  return text;
}

uint64_t mmcsim_DeparturesEver() { return g_departuresRetired + mmcsim_Departures(); }
std::string mmcsim_LastDepartureSummary() {
  return mmcsim_Departures() != 0 ? mmcsim_DepartureSummary() : g_lastRetiredSummary;
}
