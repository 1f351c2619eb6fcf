// SetupAPI of the simulated Windows, over the installed virtual kernel's interface lists. A set's handle is one
// of the simulated kernel's, like every other handle here.
#include "sim/os/setupapi_sim.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/os/handles.h"
#include "sim/os/kernel.h"
#include "sim/os/registry.h"
#include "sim/os/virtual_kernel.h"

// The calls are the system's own names here.
#define SETUPAPI_CALL(name) name
#include "sim/os/setupapi_calls.inc"

namespace sim::os {
namespace {

class DeviceInfoSetObject : public KernelObject {
public:
    explicit DeviceInfoSetObject(std::shared_ptr<DeviceInfoSet> set) : set(std::move(set)) {}
    std::shared_ptr<DeviceInfoSet> set;
};

HDEVINFO InsertSet(std::shared_ptr<DeviceInfoSet> set) {
    return InsertHandle(std::make_shared<DeviceInfoSetObject>(std::move(set)));
}

std::shared_ptr<DeviceInfoSet> SetOf(HDEVINFO handle) {
    auto object = LookupHandleAs<DeviceInfoSetObject>(handle);
    return object ? object->set : nullptr;
}

// Only a set's handle is destroyed here; any other handle of the kernel is left alone.
bool RemoveSet(HDEVINFO handle) { return SetOf(handle) && RemoveHandle(handle); }

// Where Windows keeps an interface's "Device Parameters".
HKEY InterfaceKeyRoot() { return HKEY_LOCAL_MACHINE; }
const char* DeviceClassesKey() { return "SYSTEM\\CurrentControlSet\\Control\\DeviceClasses"; }

}  // namespace
}  // namespace sim::os
