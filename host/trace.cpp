#include "host/trace.h"

#include <cstdarg>
#include <cstdio>

namespace {

VexoTraceSink g_traceSink = nullptr;

}  // namespace

void vexo_Trace(const char* format, ...) {
  if (g_traceSink == nullptr) return;
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  g_traceSink(text);
}

void vexo_SetTraceSink(VexoTraceSink sink) { g_traceSink = sink; }
