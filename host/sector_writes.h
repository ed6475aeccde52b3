// The sector list of a header write, run by run: each run of consecutive
// ascending sectors goes to the driver's multi-sector write as one call, from
// an image that holds the run at its card offsets. The list begins only while
// no stop is requested and runs as one shielded step, so that a stop takes
// effect after it, never half way. The drivers supply the run writer; what a
// driver does before the list (the serial line's pause and search) is theirs.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "base/vexo_types.h"

// Writes sectors first..end-1 from an image holding them at their card offsets.
using VexoRunWriter =
    std::function<VexoResult(uint32_t first, uint32_t end, const std::vector<uint8_t>& image)>;

// Writes the sectors in the order given; the first failure ends it (the
// sectors before it are written). 0, -TRANSFER_STOPPED before any write,
// -PPA_MEMORY_ALLOC, or the run writer's result.
VexoResult vexo_WriteSectorList(const std::vector<SectorWrite>& writes, const VexoRunWriter& writeRun);
