// Windows: there is no virtual machine to build; tessel-rec records from the microphones that are plugged in.
#include "machine.h"

std::unique_ptr<Machine> VirtualMachine(const MachineSetup&, std::string* error) {
    *error = "--sim needs the simulated Windows (the Linux build)";
    return nullptr;
}
