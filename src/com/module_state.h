// Module-wide state of the COM server.
#pragma once

#include "platform/win32.h"

// Stored by the DLL entry point; dialogs load their templates from it.
extern HINSTANCE moduleInstance;
// Live CUnknown objects, changed atomically (objects die on any thread).
extern volatile LONG objectCount;
// Outstanding IClassFactory::LockServer(TRUE) calls; a host uses a factory from one thread.
extern LONG lockCount;
