/* Test-only stand-ins for the probe library "hvprobe.dll". Each load appends
 * "<variant> load" and each isVTOn call "<variant> isVTOn" to the file named by
 * HVPROBE_STUB_LOG, so tests can count loads and calls. Never shipped. */
#include <windows.h>

#ifndef STUB_NAME
#error STUB_NAME must name the variant
#endif

static void appendLine(const char* what) {
    wchar_t path[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"HVPROBE_STUB_LOG", path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return;
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return;
    char line[128];
    int length = wsprintfA(line, "%s %s\n", STUB_NAME, what);
    DWORD written = 0;
    WriteFile(file, line, (DWORD)length, &written, NULL);
    CloseHandle(file);
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) appendLine("load");
    return TRUE;
}

#ifdef STUB_ANSWER
__declspec(dllexport) int __cdecl isVTOn(void) {
    appendLine("isVTOn");
    return STUB_ANSWER;
}
#else
/* Something else is exported, so only isVTOn is missing. */
__declspec(dllexport) int __cdecl isSupportVT(void) { return 1; }
#endif
