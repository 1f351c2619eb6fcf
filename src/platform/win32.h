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
// The high-resolution waitable timer (Windows 10 1803 on) is newer than the mingw-w64 headers.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

// Kernel streaming and SetupAPI, for the KS access layer; then what the mingw-w64 headers lack of them.
#include <winioctl.h>
#include <mmreg.h>
#include <ks.h>
#include <ksmedia.h>
#include <setupapi.h>
#include "platform/ks_missing.h"

// HID, for the microphone's command channel. The HID headers declare C functions without extern "C".
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}
#include <devpkey.h>

// Core Audio, for each device's system endpoint: volume, topology and container ID.
#include <mmdeviceapi.h>
#include <endpointvolume.h>
#include <devicetopology.h>
#include <functiondiscoverykeys_devpkey.h>

// The control panel's dialogs: common controls (trackbars, the link control) and the shell, to open a web page.
#include <commctrl.h>
#include <shellapi.h>
#else
#include "sim/os/win32_sim.h"
#endif
