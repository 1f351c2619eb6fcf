// SetupAPI of the test-only DLL, over the virtual machine's interface lists. The sets have handles of their own
// (handle_table.h), and the interfaces' registry keys live where a host run without elevation may write them.
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/os/virtual_kernel.h"
#include "sim/win/handle_table.h"
#include "sim/win/virtual_calls.h"

// The calls carry the test-only DLL's prefix; redirect.h points the product's calls at them.
#define SETUPAPI_CALL(name) TesselVirtual_##name
#include "sim/os/setupapi_calls.inc"

namespace sim::os {
namespace {

// Never destroyed, like the device files' table, so that no call made while the process exits meets a
// destroyed table.
sim::win::HandleTable<DeviceInfoSet>& Sets() {
    static auto* table = new sim::win::HandleTable<DeviceInfoSet>(0x00007E5600000001ull);
    return *table;
}

HDEVINFO InsertSet(std::shared_ptr<DeviceInfoSet> set) { return Sets().Insert(std::move(set)); }
std::shared_ptr<DeviceInfoSet> SetOf(HDEVINFO handle) { return Sets().Find(handle); }
bool RemoveSet(HDEVINFO handle) { return Sets().Take(handle) != nullptr; }

// Windows keeps the "Device Parameters" keys under HKLM's DeviceClasses, which only an administrator may
// write; the virtual machine keeps volatile copies under the user's hive instead, with the same relative paths,
// so that a host run without elevation can still set them up.
HKEY InterfaceKeyRoot() { return HKEY_CURRENT_USER; }
const char* DeviceClassesKey() { return "Software\\Tessel Virtual Machine\\DeviceClasses"; }

}  // namespace
}  // namespace sim::os
