// The plan of a header write: which sectors of the new header image are
// written, with which bytes, in which order, so that a write cut off after
// any sector leaves a playlist that loses no title. Pure: it compares the new
// image with the sectors the card holds and returns the list.
#pragma once

#include <cstdint>
#include <vector>

#include "base/vexo_types.h"

// Which way entries move in a header write that changes several table
// sectors: towards the table's start (a delete, a move to a later place) or
// towards its end (a move to an earlier place).
enum class TableOrder { TowardsStart, TowardsEnd };

// `image` holds the new header's first `sectors` sectors, its table ending at
// byte newEnd; `onCard` the sectors the card holds from 0 on (as many as are
// known), whose table ended at byte onCardEnd.
std::vector<SectorWrite> card_PlanHeaderWrite(const std::vector<uint8_t>& image, uint32_t sectors,
                                              uint64_t newEnd, TableOrder order,
                                              const std::vector<uint8_t>& onCard,
                                              uint64_t onCardEnd);
