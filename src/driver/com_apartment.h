// Joins a single-threaded COM apartment for as long as it lives. A thread already in another apartment model
// (RPC_E_CHANGED_MODE) keeps it, and then nothing is left to balance.
#pragma once

#include "platform/win32.h"

class ComApartmentGuard {
public:
    ComApartmentGuard() : joined(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED) != RPC_E_CHANGED_MODE) {}
    ~ComApartmentGuard() {
        if (joined) CoUninitialize();
    }
    ComApartmentGuard(const ComApartmentGuard&) = delete;
    ComApartmentGuard& operator=(const ComApartmentGuard&) = delete;

private:
    const bool joined;
};
