// A library that exports only "PPQueryTaskEx": the binding must not call the
// missing entries. It answers every query with failure.
#include <windows.h>

#include "platform/peerfetch/peerfetch_abi.h"

extern "C" int __stdcall PPQueryTaskEx(PeerfetchHandle, PeerfetchTaskStatus*) { return 0; }

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
    return TRUE;
}
