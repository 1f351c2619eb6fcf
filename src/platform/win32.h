// The one header through which product code reaches the operating system: the Windows SDK on Windows, the
// simulated Windows elsewhere. Both declare the same names with the same widths.
#pragma once

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <objbase.h>
#include <mmsystem.h>
#else
#include "sim/os/win32_sim.h"
#endif
