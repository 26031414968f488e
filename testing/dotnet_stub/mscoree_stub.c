// Appends "loaded" to the file named by TARVO_MSCOREE_RECORD when a process
// loads it.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        wchar_t path[1024];
        DWORD n = GetEnvironmentVariableW(L"TARVO_MSCOREE_RECORD", path, 1024);
        if (n > 0 && n < 1024) {
            HANDLE f = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, NULL);
            if (f != INVALID_HANDLE_VALUE) {
                DWORD written = 0;
                WriteFile(f, "loaded\n", 7, &written, NULL);
                CloseHandle(f);
            }
        }
    }
    return TRUE;
}
