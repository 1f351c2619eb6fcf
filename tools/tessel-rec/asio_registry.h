// How hosts find ASIO drivers: the keys under HKEY_LOCAL_MACHINE\SOFTWARE\ASIO, each with the class ID, then COM
// with the class ID as the interface ID. And what regsvr32 does to put a driver there.
#pragma once

#include <string>
#include <vector>

#include "asio/asio.h"

struct DriverEntry {
    std::string keyName;
    std::string classIdText;
    std::string description;
};

std::vector<DriverEntry> ListAsioDrivers();
// The driver registered under exactly `keyName`, created through COM; null (with a message) if there is none.
IASIO* CreateRegisteredDriver(const std::string& keyName);
// Prints what the drivers whose key contains `filter` say of themselves; returns how many could be created.
int DescribeDrivers(const std::string& filter);
// Loads a module and calls one of its registration exports; the process exit code.
int RunServerExport(const char* exportName, const char* modulePath);
