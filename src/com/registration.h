// Registration of the driver classes: the COM keys under HKEY_CLASSES_ROOT\CLSID and the keys under
// HKEY_LOCAL_MACHINE\SOFTWARE\ASIO by which hosts list ASIO drivers.
#pragma once

#include "platform/win32.h"

// Results: 0, or -101 (module not loaded), -102 (no module path), -103 (class ID not convertible to a string),
// -104 (class ID string not convertible to ANSI). Registry failures after that are not reported.
int RegisterAsioClass(const CLSID& classId, const char* moduleName, const char* asioKeyName, const char* description,
                      const char* threadingModel);
int UnregisterAsioClass(const CLSID& classId, const char* moduleName, const char* asioKeyName);

// Deletes a key with everything below it; a key that cannot be opened is left alone.
void DeleteKeyTree(HKEY parent, const char* keyName);
