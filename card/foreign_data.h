// Foreign data: whether the header area of a card without a valid header is
// blank (a new card or image) or holds other data (a file system, a
// partition table, a file), and, where a well-known layout tells it, what.
// Nothing is written over foreign data.
#pragma once

#include <cstdint>

#include "base/vexo_types.h"

// 0 when every sector of the header area on the card is blank (all 0x00 or
// all 0xFF), -FOREIGN_DATA at the first that is not, or the read's result.
// The sectors read are kept as the card's (card/loaded_table.h).
VexoResult card_CheckHeaderAreaBlank(int32_t kind, int32_t port, int32_t slot, uint32_t cardSize);
// What the card last refused with -FOREIGN_DATA holds ("a partition table",
// "a FAT file system", ...); nullptr when unknown.
const char* card_ForeignDataName();
