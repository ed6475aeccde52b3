// The playlist as one JSON object (UTF-8 whatever the locale): the shape that
// --json prints and the web page's API serves. Building it reads the card
// through an open port; printing it is the caller's.
#pragma once

#include <cstddef>
#include <cstdint>

#include <nlohmann/json.hpp>

#include "base/vexo_types.h"

// The version text of a header: "PPA", "ROS file", "Card reader" or the
// player's "M.mm".
void cli_VersionText(uint16_t version, char* text, std::size_t size);

// Reads the header and table on the open port and returns the listing:
// {"valid": true, "cardSize", "freeBytes", ["cardsInserted",] "version",
// "cardName", "cardType", "titles": [{"number", "title", "size", "start"[, "damaged"]}]} (with the
// reason where an entry cannot be a title of this card),
// {"valid": false, "cardSize", "version"} for a card without a valid header,
// or {"error": N, "message"} for a failure. *result gets the reader's result.
nlohmann::ordered_json cli_CardListing(int32_t kind, int32_t port, int32_t slot,
                                       VexoResult* result);
