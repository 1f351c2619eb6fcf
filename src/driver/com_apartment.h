// Joins a single-threaded COM apartment for as long as it lives. A thread already in another apartment model
// (RPC_E_CHANGED_MODE) keeps it, and then nothing is left to balance.
//
// COM counts apartment joins per thread, so a join can only be balanced on the thread that made it. Hosts may
// make their last Release (or a reopen) on another thread than the one that created the driver: leaving there
// would unbalance, and possibly tear down, that thread's own apartment. Released elsewhere, the guard leaves
// nothing; the joining thread keeps its one extra, harmless count.
#pragma once

#include "platform/win32.h"

class ComApartmentGuard {
public:
    ComApartmentGuard()
        : joined(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED) != RPC_E_CHANGED_MODE),
          threadId(GetCurrentThreadId()) {}
    ~ComApartmentGuard() {
        if (joined && GetCurrentThreadId() == threadId) CoUninitialize();
    }
    ComApartmentGuard(const ComApartmentGuard&) = delete;
    ComApartmentGuard& operator=(const ComApartmentGuard&) = delete;

private:
    const bool joined;
    const DWORD threadId;
};
