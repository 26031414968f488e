#include "toolkit/process_start.h"

#include <cstring>
#include <vector>

BOOL createProcessInheriting(const wchar_t* application, wchar_t* commandLine, DWORD creationFlags,
                             const STARTUPINFOW& startup, const HANDLE* handles, size_t handleCount,
                             PROCESS_INFORMATION* info) {
    if (handleCount == 0) {
        STARTUPINFOW plain = startup;
        return CreateProcessW(application, commandLine, nullptr, nullptr, FALSE, creationFlags, nullptr, nullptr,
                              &plain, info);
    }
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<unsigned char> storage(size ? size : 1);
    LPPROC_THREAD_ATTRIBUTE_LIST attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
    if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size)) return FALSE;
    // The list is read when the process is created: it must outlive the call.
    std::vector<HANDLE> inherited(handles, handles + handleCount);
    BOOL created = FALSE;
    if (UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited.data(),
                                  inherited.size() * sizeof(HANDLE), nullptr, nullptr)) {
        STARTUPINFOEXW extended;
        memset(&extended, 0, sizeof(extended));
        extended.StartupInfo = startup;
        extended.StartupInfo.cb = sizeof(extended);
        extended.lpAttributeList = attributes;
        created = CreateProcessW(application, commandLine, nullptr, nullptr, TRUE,
                                 creationFlags | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                                 &extended.StartupInfo, info);
    }
    DWORD error = GetLastError();
    DeleteProcThreadAttributeList(attributes);
    SetLastError(error);
    return created;
}
