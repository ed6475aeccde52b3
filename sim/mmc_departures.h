// The departure count of the simulated card: the counters in which the bus
// records where the host broke its rules, summed and named in a one-line
// report, and kept through counter resets and card removals
// (mmcsim_Departures and its relatives in mmc_sim.h). The bus that counts
// them and the card's storage are not here.
#pragma once

namespace mmcsim {

// Keeps the current departures before the counters are reset or the card is
// removed: their number for mmcsim_DeparturesEver and their summary for
// mmcsim_LastDepartureSummary.
void RetireDepartures();

}  // namespace mmcsim
