// The trace hook: printf-style texts of the drivers and the card layer go to a
// sink, and nowhere when none is installed. It owns only the sink; what is
// traced is decided by the callers.
#pragma once

// printf-style trace texts of the drivers and the card layer; silent unless
// code that links the library installs a sink.
void vexo_Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
using VexoTraceSink = void (*)(const char* text);
void vexo_SetTraceSink(VexoTraceSink sink);
