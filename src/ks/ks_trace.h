// Diagnostics of the kernel-streaming layer (and of the device layer above it).
//
// Every operation of the layer reports through TraceKs: level 1 errors, 3 notable findings, 4 warnings,
// 5 details, 6 entry and exit of each operation. A message reaches the debugger output as "\n[KS]:" and the
// text only when its level is at most the process-wide threshold, which is 0 unless the environment variable
// TESSEL_KS_TRACE holds a level when the first message is traced. So a normal run prints nothing, and a user
// chasing a device problem sets TESSEL_KS_TRACE=6 to see every request.
#pragma once

#include "platform/win32.h"

#if defined(__GNUC__)
#define KS_TRACE_FORMAT __attribute__((format(printf, 2, 3)))
#else
#define KS_TRACE_FORMAT
#endif

void TraceKs(int level, const char* format, ...) KS_TRACE_FORMAT;

// The threshold in force. Cheap: the hot paths call TraceKs at level 6 and rely on this test to skip formatting.
int KsTraceThreshold();
// For tools and tests that want the layer verbose without the environment; returns the previous threshold.
int SetKsTraceThreshold(int level);

// Entry and exit of an operation, in the layer's wording.
#define KS_ENTER(name) TraceKs(6, "%s Enter", name "()")
#define KS_LEAVE_HR(name, hr) TraceKs(6, "%s Leave, returning %#08x", name, static_cast<unsigned>(hr))
#define KS_LEAVE(name) TraceKs(6, "%s Leave", name "()")
