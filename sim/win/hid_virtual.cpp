// hid.dll of the test-only DLL, over the virtual machine's HID device files. The requests go through the
// test-only DLL's own DeviceIoControl, which tells the virtual device handles from the system's.
#include <cstdlib>
#include <cstring>

#include "sim/os/hid_class.h"
#include "sim/win/virtual_calls.h"

// The calls carry the test-only DLL's prefix; redirect.h points the product's calls at them.
#define HID_CALL(name) TesselVirtual_##name
#include "sim/os/hid_calls.inc"
