// What the pieces of the system checks share: the registry reads and the
// forgetting of the VT answer. Not for use outside services/system_checks*.cpp.
#pragma once

#include <windows.h>

#include <string>

#include "toolkit/scoped_handle.h"

namespace syschecks {

// A REG_SZ (or, with expandToo, REG_EXPAND_SZ) value of at most bufferBytes
// bytes, terminated within what was read.
bool readRegString(HKEY key, const wchar_t* name, DWORD bufferBytes, bool expandToo, std::wstring& out);
// A REG_DWORD value of exactly four bytes.
bool readRegDword(HKEY key, const wchar_t* name, DWORD& out);

// A key opened for reading; get() is null when it could not be opened.
class RegKey {
public:
    RegKey(HKEY root, const wchar_t* path) {
        if (RegOpenKeyExW(root, path, 0, KEY_READ, key_.receive()) != ERROR_SUCCESS) key_.release();
    }
    HKEY get() const { return key_.get(); }

private:
    ScopedRegKey key_;
};

#ifdef TARVO_TEST_SEAMS
// Drops the probe library's kept answer.
void forgetVtAnswer();
#endif

}  // namespace syschecks
