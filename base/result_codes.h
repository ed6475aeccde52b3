// The message of every result code. The table cannot be indexed out of range:
// anything that is not a known code maps to one "unknown" text.
#pragma once

#include "base/vexo_types.h"

// Message of a result (0 or a negated code), as the command handlers print it.
const char* vexo_ResultMessage(VexoResult result);
