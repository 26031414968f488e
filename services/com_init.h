#pragma once

#include <windows.h>

// Initialises COM for the calling thread for the lifetime of the scope. COM is
// uninitialised at the end only when this guard's CoInitialize succeeded
// (S_OK, or S_FALSE for an apartment that was already open).
class ComInitGuard {
public:
    ComInitGuard();
    ~ComInitGuard();

    ComInitGuard(const ComInitGuard&) = delete;
    ComInitGuard& operator=(const ComInitGuard&) = delete;

    HRESULT result() const { return hr_; }

private:
    HRESULT hr_;
};
