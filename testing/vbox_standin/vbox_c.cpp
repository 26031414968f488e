// VBoxC.dll stand-in: the client library's COM registration.
#include <windows.h>

#include "testing/vbox_standin/vbox_standin.h"

namespace {

HMODULE g_module = nullptr;

std::wstring modulePath(HMODULE module) {
    wchar_t path[MAX_PATH * 2] = {};
    DWORD n = GetModuleFileNameW(module, path, MAX_PATH * 2);
    return std::wstring(path, n);
}

// Records the call with the host program and answers the mode's HRESULT.
HRESULT entry(const wchar_t* name, const wchar_t* section, bool doRegister) {
    vbs::attach(L"VBoxC");
    qvs::Start s;
    s.stateDir = qvs::stateDir();
    qvs::readModes(s, section);
    HRESULT hr = S_OK;
    if (s.mode == L"fail") {
        hr = (HRESULT)s.hresult;
    } else {
        const std::wstring key = std::wstring(L"CLSID\\") + vbs::kClientClsid;
        if (doRegister) {
            vbs::setClassesString(key, nullptr, L"VirtualBoxClient Class");
            vbs::setClassesString(key + L"\\InprocServer32", nullptr, modulePath(g_module));
            vbs::setClassesString(key + L"\\InprocServer32", L"ThreadingModel", L"Free");
            vbs::setClassesString(L"VirtualBox.VirtualBoxClient\\CLSID", nullptr, vbs::kClientClsid);
        } else {
            RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
            RegDeleteTreeW(HKEY_CLASSES_ROOT, L"VirtualBox.VirtualBoxClient");
        }
    }
    wchar_t code[16];
    _snwprintf(code, 16, L"0x%08X", (unsigned)hr);
    qvs::recordFields(L"call", {modulePath(nullptr), name, code});
    return hr;
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) g_module = instance;
    return TRUE;
}

__declspec(dllexport) HRESULT STDAPICALLTYPE DllRegisterServer() {
    return entry(L"DllRegisterServer", L"VBoxC.register", true);
}
__declspec(dllexport) HRESULT STDAPICALLTYPE DllUnregisterServer() {
    return entry(L"DllUnregisterServer", L"VBoxC.unregister", false);
}
__declspec(dllexport) HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID, REFIID, LPVOID* out) {
    if (out) *out = nullptr;
    return CLASS_E_CLASSNOTAVAILABLE;
}
__declspec(dllexport) HRESULT STDAPICALLTYPE DllCanUnloadNow() { return S_OK; }

}
