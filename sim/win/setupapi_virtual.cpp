// SetupAPI of the test-only DLL, over the virtual machine's interface lists. The sets have handles of their
// own, told apart from the system's by value, and the interfaces' registry keys live where a host run without
// elevation may write them.
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/os/virtual_kernel.h"
#include "sim/win/virtual_calls.h"

// The calls carry the test-only DLL's prefix; redirect.h points the product's calls at them.
#define SETUPAPI_CALL(name) TesselVirtual_##name
#include "sim/os/setupapi_calls.inc"

namespace sim::os {
namespace {

// Sets are named by odd values of their own, never reused, so a set used after destruction is reported
// invalid rather than reaching freed memory.
struct SetTable {
    std::mutex lock;
    uintptr_t next = 0x00007E5600000001ull;
    std::map<uintptr_t, std::shared_ptr<DeviceInfoSet>> sets;
};

SetTable& Sets() {
    static auto* table = new SetTable;
    return *table;
}

HDEVINFO InsertSet(std::shared_ptr<DeviceInfoSet> set) {
    SetTable& table = Sets();
    std::lock_guard<std::mutex> guard(table.lock);
    uintptr_t value = table.next;
    table.next += 4;
    table.sets.emplace(value, std::move(set));
    return reinterpret_cast<HDEVINFO>(value);
}

std::shared_ptr<DeviceInfoSet> SetOf(HDEVINFO handle) {
    SetTable& table = Sets();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.sets.find(reinterpret_cast<uintptr_t>(handle));
    return found == table.sets.end() ? nullptr : found->second;
}

bool RemoveSet(HDEVINFO handle) {
    SetTable& table = Sets();
    std::lock_guard<std::mutex> guard(table.lock);
    return table.sets.erase(reinterpret_cast<uintptr_t>(handle)) != 0;
}

// Windows keeps the "Device Parameters" keys under HKLM's DeviceClasses, which only an administrator may
// write; the virtual machine keeps volatile copies under the user's hive instead, with the same relative paths,
// so that a host run without elevation can still set them up.
HKEY InterfaceKeyRoot() { return HKEY_CURRENT_USER; }
const char* DeviceClassesKey() { return "Software\\Tessel Virtual Machine\\DeviceClasses"; }

}  // namespace
}  // namespace sim::os
