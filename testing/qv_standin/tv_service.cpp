// Stand-in of the engine's service program. Built twice: TV-Service.exe for the
// service "tvHdAndroidSvc" and tvHdDrv.exe for "tvHdDrv".
//   "<dir><exe>" --service --standin-dir "<state>"
// Modes: slow-start (START_PENDING for delay_ms), no-stop (stays STOP_PENDING),
// stop-pending (STOP_PENDING for delay_ms, then stops).
#include "testing/qv_standin/standin.h"

#ifndef STANDIN_SERVICE_NAME
#error STANDIN_SERVICE_NAME names the service
#endif

namespace {

qvs::Start g_start;
SERVICE_STATUS_HANDLE g_status = nullptr;
HANDLE g_stop = nullptr;
wchar_t g_name[] = STANDIN_SERVICE_NAME;

void report(DWORD state, DWORD waitHint = 0) {
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    status.dwWaitHint = waitHint;
    static DWORD checkPoint = 0;
    status.dwCheckPoint = (state == SERVICE_RUNNING || state == SERVICE_STOPPED) ? 0 : ++checkPoint;
    SetServiceStatus(g_status, &status);
}

DWORD WINAPI handler(DWORD control, DWORD, LPVOID, LPVOID) {
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        report(SERVICE_STOP_PENDING, 1000);
        if (g_start.mode != L"no-stop") SetEvent(g_stop);
        return NO_ERROR;
    }
    return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI serviceMain(DWORD, LPWSTR*) {
    g_status = RegisterServiceCtrlHandlerExW(g_name, handler, nullptr);
    if (!g_status) return;
    if (g_start.mode == L"slow-start") {
        report(SERVICE_START_PENDING, 1000);
        Sleep(g_start.delayMs);
    }
    report(SERVICE_RUNNING);
    qvs::record(L"service-start", g_name);
    WaitForSingleObject(g_stop, qvs::lifeLeftMs());
    if (g_start.mode == L"stop-pending") Sleep(g_start.delayMs);
    qvs::record(L"service-stop", g_name);
    report(SERVICE_STOPPED);
}

}  // namespace

int wmain() {
    g_start = qvs::begin();
    bool asService = false;
    for (const std::wstring& a : g_start.args) asService = asService || a == L"--service";
    if (!asService) {
        qvs::print(qvs::utf8(g_start.program) + ": run as a service\n");
        qvs::finish(3);
    }
    qvs::applyModes(g_start, g_start.program);
    g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SERVICE_TABLE_ENTRYW table[] = {{g_name, serviceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) qvs::finish(4);
    qvs::finish(0);
}
