// hid.dll of the simulated Windows, over the installed virtual kernel's HID device files.
#include "sim/os/hid_sim.h"

#include <cstdlib>
#include <cstring>

#include "sim/os/device_io.h"
#include "sim/os/hid_class.h"
#include "sim/os/kernel.h"

// The calls are the system's own names here.
#define HID_CALL(name) name
#include "sim/os/hid_calls.inc"
