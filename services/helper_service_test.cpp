#include "services/helper_service.h"

#include <windows.h>
#include <shlobj.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "services/loader_env.h"
#include "services/log.h"
#include "services/seams.h"
#include "testing/proc_support/proc_test_util.h"
#include "testing/support/test_support.h"

using namespace proctest;

namespace {

std::wstring dataPath(const std::wstring& name) { return getCommonDataFolder() + L"\\" + name + L".dat"; }

// ---- data files -------------------------------------------------------------

TEST(HelperDataFileTest, TextModeRoundTripTakeAndReplace) {
    const std::wstring name = uniqueName(L"proc_data");
    const std::wstring path = dataPath(name);

    writeDataFile(name, "a\nb");
    EXPECT_EQ(std::string("a\r\nb"), readAll(path));  // 61 0D 0A 62
    EXPECT_EQ("a\nb", takeDataFile(name));
    EXPECT_FALSE(tst::fileExists(path));

    EXPECT_EQ("", takeDataFile(name));  // missing

    writeDataFile(name, "the first, longer command");
    writeDataFile(name, "second");
    EXPECT_EQ("second", takeDataFile(name));

    writeDataFile(name, std::string("ab\0cd", 5));
    EXPECT_EQ("ab", takeDataFile(name));
    EXPECT_FALSE(tst::fileExists(path));
}

// A file of any size or kind under a data file's name is taken at once: it
// answers empty and is gone, whether it was read or not.
TEST(HelperDataFileTest, LargeAndUnreadableFilesAreTakenUnreadAndGone) {
    const std::wstring name = uniqueName(L"proc_big");
    const std::wstring path = dataPath(name);
    {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        LARGE_INTEGER size;
        size.QuadPart = 100LL * 1024 * 1024;  // sparse: nothing is written
        ASSERT_TRUE(SetFilePointerEx(file, size, nullptr, FILE_BEGIN));
        ASSERT_TRUE(SetEndOfFile(file));
        CloseHandle(file);
    }
    const DWORD start = GetTickCount();
    EXPECT_EQ("", takeDataFile(name));
    EXPECT_LT(GetTickCount() - start, 1000u);
    EXPECT_FALSE(tst::fileExists(path));
    std::string log;
    tst::readFile(getLogFolder() + L"\\services_tests.log", log);
    EXPECT_NE(std::string::npos, log.find("data file too large: " + tst::narrow(path)));

    // 64 KiB is still a payload.
    writeDataFile(name, std::string(64 * 1024, 'x'));
    EXPECT_EQ(64u * 1024u, takeDataFile(name).size());

    // A folder under the name cannot be read: it goes too.
    ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
    EXPECT_EQ("", takeDataFile(name));
    EXPECT_FALSE(tst::fileExists(path));
}

// The data file written is always this call's own: whatever has the name is
// deleted first (a link itself; Wine 8 deletes through a host link to a file,
// so the case here is a file), and one that will not go makes the write fail.
TEST(HelperDataFileTest, WriteReplacesWhatHasTheNameAndFailsOnAFileItCannotReplace) {
    const std::wstring name = uniqueName(L"proc_link");
    const std::wstring path = dataPath(name);
    ASSERT_TRUE(tst::writeFile(path, "an older, longer payload of someone else"));
    EXPECT_TRUE(writeDataFile(name, "mine"));
    EXPECT_EQ("mine", takeDataFile(name));

    ASSERT_TRUE(tst::writeFile(path, "foreign"));
    ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(writeDataFile(name, "mine"));
    EXPECT_EQ("foreign", readAll(path));
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(path.c_str());
}

TEST(HelperDataFileTest, LogTextShowsControlCharactersAsCodes) {
    EXPECT_EQ("a\\x0D\\x0Ab\\x01\\x7F c:\\d \xcb\xfe", dataFileLogText("a\r\nb\x01\x7f c:\\d \xcb\xfe"));
}

// ---- stop through a scripted service manager ------------------------------------

struct FakeService {
    std::wstring name;
    DWORD initial = SERVICE_RUNNING;       // before any stop
    DWORD pendingEndsAt = 0;               // initial STOP_PENDING lasts until this time
    DWORD hint = 0;                        // dwWaitHint reported
    DWORD controlError = 0;                // error of ControlService(STOP), 0: accepted
    DWORD stateAfterControlError = SERVICE_STOPPED;
    DWORD stopDelay = 0;                   // STOP_PENDING this long after an accepted stop
    DWORD queryError = 0;                  // every query fails with it
    std::vector<std::wstring> dependents;  // active dependents, in the order returned
    // run time
    bool stopSent = false;
    bool controlFailed = false;
    DWORD stopSentAt = 0;
};

class FakeManager : public ServiceManagerApi {
public:
    std::map<std::wstring, FakeService> services;
    DWORD now = 50000;
    DWORD enumError = 0;       // the second enumeration fails with it
    DWORD firstEnumError = 0;  // the first one fails with it (instead of 234)
    std::wstring failOpen;     // opening this dependent fails with 5
    int opened = 0;
    int closed = 0;
    std::vector<std::wstring> stops;  // names in the order STOP was sent
    std::vector<DWORD> sleeps;

    SC_HANDLE handleOf(const std::wstring& name) {
        auto it = handles_.find(name);
        if (it != handles_.end()) return it->second;
        SC_HANDLE h = reinterpret_cast<SC_HANDLE>(static_cast<uintptr_t>(0x1000 + 16 * handles_.size()));
        handles_[name] = h;
        return h;
    }
    FakeService& of(SC_HANDLE h) {
        for (auto& kv : handles_)
            if (kv.second == h) return services[kv.first];
        static FakeService none;
        return none;
    }
    DWORD stateOf(const FakeService& s) const {
        if (s.stopSent)
            return (s.stopDelay == INFINITE || now - s.stopSentAt < s.stopDelay) ? SERVICE_STOP_PENDING
                                                                               : SERVICE_STOPPED;
        if (s.controlFailed) return s.stateAfterControlError;
        if (s.initial == SERVICE_STOP_PENDING)
            return now < s.pendingEndsAt ? SERVICE_STOP_PENDING : SERVICE_STOPPED;
        return s.initial;
    }
    void fill(const FakeService& s, SERVICE_STATUS* status) const {
        *status = SERVICE_STATUS();
        status->dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        status->dwCurrentState = stateOf(s);
        status->dwWaitHint = s.hint;
    }

    BOOL queryStatus(SC_HANDLE h, SERVICE_STATUS* status) override {
        FakeService& s = of(h);
        if (s.queryError) {
            SetLastError(s.queryError);
            return FALSE;
        }
        fill(s, status);
        return TRUE;
    }
    BOOL enumDependents(SC_HANDLE h, DWORD, ENUM_SERVICE_STATUSW* buffer, DWORD size, DWORD* needed,
                        DWORD* count) override {
        FakeService& s = of(h);
        *count = 0;
        if (!buffer && firstEnumError) {
            SetLastError(firstEnumError);
            return FALSE;
        }
        if (s.dependents.empty()) return TRUE;
        DWORD bytes = static_cast<DWORD>(s.dependents.size() * sizeof(ENUM_SERVICE_STATUSW));
        for (const auto& d : s.dependents) bytes += static_cast<DWORD>((d.size() + 1) * sizeof(wchar_t));
        *needed = bytes;
        if (!buffer || size < bytes) {
            SetLastError(ERROR_MORE_DATA);
            return FALSE;
        }
        if (enumError) {
            SetLastError(enumError);
            return FALSE;
        }
        wchar_t* text = reinterpret_cast<wchar_t*>(buffer + s.dependents.size());
        for (size_t i = 0; i < s.dependents.size(); ++i) {
            wcscpy(text, s.dependents[i].c_str());
            buffer[i].lpServiceName = text;
            buffer[i].lpDisplayName = text;
            fill(services[s.dependents[i]], &buffer[i].ServiceStatus);
            text += s.dependents[i].size() + 1;
        }
        *count = static_cast<DWORD>(s.dependents.size());
        return TRUE;
    }
    SC_HANDLE openService(SC_HANDLE, const wchar_t* name, DWORD) override {
        if (name == failOpen) {
            SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
        ++opened;
        return handleOf(name);
    }
    BOOL control(SC_HANDLE h, DWORD code, SERVICE_STATUS* status) override {
        FakeService& s = of(h);
        if (code == SERVICE_CONTROL_STOP) stops.push_back(s.name);
        if (s.controlError) {
            s.controlFailed = true;
            SetLastError(s.controlError);
            return FALSE;
        }
        s.stopSent = true;
        s.stopSentAt = now;
        fill(s, status);
        return TRUE;
    }
    BOOL closeHandle(SC_HANDLE) override {
        ++closed;  // the caller's own two handles must never come here
        return TRUE;
    }
    void sleep(DWORD ms) override {
        sleeps.push_back(ms);
        now += ms;
    }
    DWORD tickCount() override { return now; }

private:
    std::map<std::wstring, SC_HANDLE> handles_;
};

struct StopCase {
    const char* name;
    void (*script)(FakeManager&);
    DWORD budget;
    DWORD result;
    std::vector<std::wstring> stops;
};

FakeService svc(const std::wstring& name) {
    FakeService s;
    s.name = name;
    return s;
}

TEST(ServiceStopTest, ScriptedManagerCases) {
    const StopCase cases[] = {
        {"dependents first, in the order returned",
         [](FakeManager& m) {
             m.services[L"main"] = svc(L"main");
             m.services[L"main"].dependents = {L"depB", L"depA"};
             m.services[L"depA"] = svc(L"depA");
             m.services[L"depB"] = svc(L"depB");
             m.services[L"depB"].stopDelay = 700;
             m.services[L"main"].stopDelay = 300;
         },
         5000, 0, {L"depB", L"depA", L"main"}},
        {"a dependent that never stops",
         [](FakeManager& m) {
             m.services[L"main"] = svc(L"main");
             m.services[L"main"].dependents = {L"depA"};
             m.services[L"depA"] = svc(L"depA");
             m.services[L"depA"].stopDelay = INFINITE;
         },
         5000, ERROR_TIMEOUT, {L"depA"}},
        {"1062 on the final stop: it stopped meanwhile",
         [](FakeManager& m) {
             m.services[L"main"] = svc(L"main");
             m.services[L"main"].controlError = ERROR_SERVICE_NOT_ACTIVE;
         },
         5000, 0, {L"main"}},
        {"1062 on a dependent's stop",
         [](FakeManager& m) {
             m.services[L"main"] = svc(L"main");
             m.services[L"main"].dependents = {L"depA"};
             m.services[L"depA"] = svc(L"depA");
             m.services[L"depA"].controlError = ERROR_SERVICE_NOT_ACTIVE;
         },
         5000, 0, {L"depA", L"main"}},
        {"another stop error is returned",
         [](FakeManager& m) {
             m.services[L"main"] = svc(L"main");
             m.services[L"main"].controlError = ERROR_ACCESS_DENIED;
             m.services[L"main"].stateAfterControlError = SERVICE_RUNNING;
         },
         5000, ERROR_ACCESS_DENIED, {L"main"}},
        {"already stopped",
         [](FakeManager& m) {
             m.services[L"main"] = svc(L"main");
             m.services[L"main"].initial = SERVICE_STOPPED;
         },
         5000, 0, {}},
        {"pending with a 30 s hint that stops after 1.5 s",
         [](FakeManager& m) {
             m.services[L"main"] = svc(L"main");
             m.services[L"main"].initial = SERVICE_STOP_PENDING;
             m.services[L"main"].pendingEndsAt = m.now + 1500;
             m.services[L"main"].hint = 30000;
         },
         5000, 0, {}},
        {"pending with a 30 s hint that never ends",
         [](FakeManager& m) {
             m.services[L"main"] = svc(L"main");
             m.services[L"main"].initial = SERVICE_STOP_PENDING;
             m.services[L"main"].pendingEndsAt = m.now + 600000;
             m.services[L"main"].hint = 30000;
         },
         5000, ERROR_TIMEOUT, {}},
        {"zero hint, no limit: polls and finishes",
         [](FakeManager& m) {
             m.services[L"main"] = svc(L"main");
             m.services[L"main"].stopDelay = 2000;
         },
         INFINITE, 0, {L"main"}},
        {"query fails",
         [](FakeManager& m) {
             m.services[L"main"] = svc(L"main");
             m.services[L"main"].queryError = ERROR_INVALID_HANDLE;
         },
         5000, ERROR_INVALID_HANDLE, {}},
        {"enumeration fails",
         [](FakeManager& m) {
             m.services[L"main"] = svc(L"main");
             m.services[L"main"].dependents = {L"depA"};
             m.services[L"depA"] = svc(L"depA");
             m.enumError = ERROR_ACCESS_DENIED;
         },
         5000, ERROR_ACCESS_DENIED, {}},
        {"first enumeration fails with another error",
         [](FakeManager& m) {
             m.services[L"main"] = svc(L"main");
             m.firstEnumError = ERROR_INVALID_PARAMETER;
         },
         5000, ERROR_INVALID_PARAMETER, {}},
        {"a dependent cannot be opened",
         [](FakeManager& m) {
             m.services[L"main"] = svc(L"main");
             m.services[L"main"].dependents = {L"depA", L"depB"};
             m.services[L"depA"] = svc(L"depA");
             m.services[L"depB"] = svc(L"depB");
             m.failOpen = L"depB";
         },
         5000, ERROR_ACCESS_DENIED, {L"depA"}},
    };
    for (const StopCase& c : cases) {
        SCOPED_TRACE(c.name);
        FakeManager m;
        c.script(m);
        SC_HANDLE mainHandle = m.handleOf(L"main");
        DWORD start = m.now;
        ServiceControl control;
        DWORD result = control.stop(reinterpret_cast<SC_HANDLE>(0x10), mainHandle, true, c.budget, m);
        EXPECT_EQ(c.result, result);
        EXPECT_EQ(c.stops, m.stops);
        EXPECT_EQ(m.opened, m.closed);
        for (DWORD s : m.sleeps) {
            EXPECT_LE(s, 1000u);
            EXPECT_GE(s, 1u);
        }
        if (c.budget != INFINITE) {
            EXPECT_LE(m.now - start, c.budget);
        }
    }
}

TEST(ServiceStopTest, PollingPaceFollowsTheHint) {
    struct Pace {
        DWORD hint;
        DWORD pause;
    };
    for (Pace p : {Pace{0, 100}, Pace{500, 100}, Pace{4000, 400}, Pace{30000, 1000}}) {
        SCOPED_TRACE(p.hint);
        FakeManager m;
        m.services[L"main"] = svc(L"main");
        m.services[L"main"].hint = p.hint;
        m.services[L"main"].stopDelay = INFINITE;
        ServiceControl control;
        EXPECT_EQ(static_cast<DWORD>(ERROR_TIMEOUT),
                  control.stop(nullptr, m.handleOf(L"main"), false, 3000, m));
        ASSERT_FALSE(m.sleeps.empty());
        EXPECT_EQ(p.pause, m.sleeps.front());
    }
}

// ---- the real service manager, with the helper stand-in ---------------------------

std::wstring stubCommand(const std::wstring& options) {
    return inQuotes(bin(L"TarvoHelper.exe")) + L" " + options;
}

DWORD elapsedSince(DWORD start) { return GetTickCount() - start; }

TEST(ServiceControlTest, InstallAndStartCases) {
    tst::TempDir dir(L"svc");
    ServiceControl control;
    {
        SCOPED_TRACE("fresh, then already running, then stopped and started again");
        ServiceGuard svcGuard(uniqueName(L"ProcSvcA"));
        std::wstring path = stubCommand(L"--record " + inQuotes(dir.file(L"a.txt")));
        ASSERT_TRUE(control.installAndStart(svcGuard.name(), path, SERVICE_WIN32_OWN_PROCESS,
                                            SERVICE_DEMAND_START));
        EXPECT_TRUE(svcGuard.waitFor(SERVICE_RUNNING, 5000));
        EXPECT_TRUE(control.installAndStart(svcGuard.name(), path, SERVICE_WIN32_OWN_PROCESS,
                                            SERVICE_DEMAND_START));
        EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), svcGuard.status().dwCurrentState);

        SC_HANDLE m = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE h = OpenServiceW(m, svcGuard.name().c_str(), SERVICE_STOP);
        SERVICE_STATUS st;
        EXPECT_TRUE(ControlService(h, SERVICE_CONTROL_STOP, &st));
        CloseServiceHandle(h);
        CloseServiceHandle(m);
        ASSERT_TRUE(svcGuard.waitFor(SERVICE_STOPPED, 5000));
        EXPECT_TRUE(control.installAndStart(svcGuard.name(), path, SERVICE_WIN32_OWN_PROCESS,
                                            SERVICE_DEMAND_START));
        EXPECT_TRUE(svcGuard.waitFor(SERVICE_RUNNING, 5000));
    }
    {
        SCOPED_TRACE("unstartable binary");
        ServiceGuard svcGuard(uniqueName(L"ProcSvcB"));
        EXPECT_FALSE(control.installAndStart(svcGuard.name(), bin(L"no_such_service_program.exe"),
                                             SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START));
    }
    {
        SCOPED_TRACE("a binary path with a blank is stored quoted");
        std::wstring folder = dir.file(L"with blank");
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
        std::wstring exe = folder + L"\\stub.exe";
        ASSERT_TRUE(CopyFileW(bin(L"TarvoHelper.exe").c_str(), exe.c_str(), FALSE));
        ServiceGuard svcGuard(uniqueName(L"ProcSvcC"));
        EXPECT_TRUE(control.installAndStart(svcGuard.name(), exe, SERVICE_WIN32_OWN_PROCESS,
                                            SERVICE_DEMAND_START));
        EXPECT_TRUE(svcGuard.waitFor(SERVICE_RUNNING, 5000));

        SC_HANDLE m = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE h = OpenServiceW(m, svcGuard.name().c_str(), SERVICE_QUERY_CONFIG);
        ASSERT_NE(nullptr, h);
        std::vector<BYTE> buf(8192);
        DWORD needed = 0;
        ASSERT_TRUE(QueryServiceConfigW(h, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buf.data()),
                                        static_cast<DWORD>(buf.size()), &needed));
        EXPECT_EQ(inQuotes(exe), std::wstring(reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buf.data())->lpBinaryPathName));
        CloseServiceHandle(h);
        CloseServiceHandle(m);
        svcGuard.removeNow();  // before its folder goes
    }
}

// The ACEs of a descriptor's DACL as (SID text, access mask), in order.
std::vector<std::pair<std::wstring, DWORD>> daclEntries(const void* descriptor) {
    std::vector<std::pair<std::wstring, DWORD>> out;
    PSECURITY_DESCRIPTOR sd = const_cast<void*>(descriptor);
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!IsValidSecurityDescriptor(sd) || !GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) || !present ||
        !dacl)
        return out;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace)) break;
        ACCESS_ALLOWED_ACE* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        if (allowed->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) {
            out.push_back({L"(not an allowing entry)", 0});
            continue;
        }
        wchar_t* text = nullptr;
        ConvertSidToStringSidW(reinterpret_cast<PSID>(&allowed->SidStart), &text);
        out.push_back({text ? text : L"?", allowed->Mask});
        LocalFree(text);
    }
    return out;
}

std::wstring ownUserSid() {
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    BYTE buffer[256];
    DWORD size = 0;
    std::wstring out;
    if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size)) {
        wchar_t* text = nullptr;
        ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text);
        if (text) out = text;
        LocalFree(text);
    }
    CloseHandle(token);
    return out;
}

struct SecurityCall {
    int calls = 0;
    SECURITY_INFORMATION info = 0;
    std::vector<unsigned char> descriptor;
    BOOL answer = TRUE;
};
SecurityCall g_securityCall;

BOOL WINAPI recordSecurity(SC_HANDLE, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor) {
    ++g_securityCall.calls;
    g_securityCall.info = info;
    const unsigned char* bytes = static_cast<const unsigned char*>(descriptor);
    g_securityCall.descriptor.assign(bytes, bytes + GetSecurityDescriptorLength(descriptor));
    if (!g_securityCall.answer) SetLastError(ERROR_ACCESS_DENIED);
    return g_securityCall.answer;
}

// Only this user and the administrators may start the helper or send it the
// codes that make it start programs; everyone else may only see its status.
TEST(ServiceControlTest, TheHelperGetsItsOwnAccess) {
    const DWORD user = SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE | SERVICE_START |
                       SERVICE_USER_DEFINED_CONTROL | READ_CONTROL;
    const std::vector<std::pair<std::wstring, DWORD>> wanted = {
        {L"S-1-5-18", SERVICE_ALL_ACCESS}, {L"S-1-5-32-544", SERVICE_ALL_ACCESS}, {ownUserSid(), user},
        {L"S-1-5-4", SERVICE_QUERY_STATUS}, {L"S-1-5-11", SERVICE_QUERY_STATUS}};
    ASSERT_FALSE(ownUserSid().empty());
    const std::vector<unsigned char> built = helperServiceSecurity();
    ASSERT_FALSE(built.empty());
    EXPECT_EQ(wanted, daclEntries(built.data()));
    EXPECT_EQ(0u, user & (SERVICE_CHANGE_CONFIG | SERVICE_STOP | DELETE | WRITE_DAC | WRITE_OWNER));

    // The install sets exactly that DACL, and a failure to set it fails nothing else.
    ServiceControl control;
    tst::TempDir dir(L"svs");
    for (BOOL answer : {TRUE, FALSE}) {
        SCOPED_TRACE(answer);
        g_securityCall = SecurityCall();
        g_securityCall.answer = answer;
        setServiceSecuritySetterForTests(&recordSecurity);
        const std::string marker = "service security test " + std::to_string(GetTickCount64());
        logPrintf("%s", marker.c_str());
        ServiceGuard svcGuard(uniqueName(L"ProcSvcS"));
        const bool started = control.installAndStart(svcGuard.name(), stubCommand(L"--record " + inQuotes(dir.file(L"s.txt"))),
                                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START);
        setServiceSecuritySetterForTests(nullptr);
        EXPECT_TRUE(started);
        EXPECT_TRUE(svcGuard.waitFor(SERVICE_RUNNING, 5000));
        EXPECT_EQ(1, g_securityCall.calls);
        EXPECT_EQ((SECURITY_INFORMATION)DACL_SECURITY_INFORMATION, g_securityCall.info);
        EXPECT_EQ(wanted, daclEntries(g_securityCall.descriptor.data()));
        std::string log;
        tst::readFile(getLogFolder() + L"\\services_tests.log", log);
        const size_t at = log.find(marker);
        ASSERT_NE(std::string::npos, at);
        EXPECT_EQ(!answer, log.find("service security not set: 5", at) != std::string::npos);
    }
}

TEST(ServiceControlTest, RemoveCases) {
    tst::TempDir dir(L"svc");
    ServiceControl control;
    EXPECT_FALSE(control.remove(uniqueName(L"ProcSvcMissing"), 5000));
    {
        SCOPED_TRACE("running: removed, and the name can be installed again at once");
        ServiceGuard svcGuard(uniqueName(L"ProcSvcR"));
        std::wstring path = stubCommand(L"--record " + inQuotes(dir.file(L"r.txt")));
        ASSERT_TRUE(control.installAndStart(svcGuard.name(), path, SERVICE_WIN32_OWN_PROCESS,
                                            SERVICE_DEMAND_START));
        ASSERT_TRUE(svcGuard.waitFor(SERVICE_RUNNING, 5000));
        EXPECT_TRUE(control.remove(svcGuard.name(), 5000));
        EXPECT_FALSE(svcGuard.exists());
        EXPECT_TRUE(control.installAndStart(svcGuard.name(), path, SERVICE_WIN32_OWN_PROCESS,
                                            SERVICE_DEMAND_START));
        EXPECT_TRUE(control.remove(svcGuard.name(), 5000));
    }
    struct Case {
        const char* name;
        const wchar_t* options;
        DWORD budget;
        bool removed;
        DWORD minMs;
        DWORD maxMs;
    };
    const Case cases[] = {
        {"30 s hint, stops after 1.5 s, 5 s budget", L"--pending-hint 30000 --pending-for 1500", 5000,
         true, 1400, 3000},
        {"never stops, 5 s budget", L"--never-stop --pending-hint 1000", 5000, false, 5000, 6500},
        {"30 s hint, stops after 1.5 s, no limit", L"--pending-hint 30000 --pending-for 1500", INFINITE,
         true, 1400, 3000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ServiceGuard svcGuard(uniqueName(L"ProcSvcP"));
        std::wstring path = stubCommand(std::wstring(c.options) + L" --record " + inQuotes(dir.file(L"p.txt")));
        ASSERT_TRUE(control.installAndStart(svcGuard.name(), path, SERVICE_WIN32_OWN_PROCESS,
                                            SERVICE_DEMAND_START));
        ASSERT_TRUE(svcGuard.waitFor(SERVICE_RUNNING, 5000));
        DWORD start = GetTickCount();
        EXPECT_EQ(c.removed, control.remove(svcGuard.name(), c.budget));
        DWORD spent = elapsedSince(start);
        EXPECT_GE(spent, c.minMs);
        EXPECT_LE(spent, c.maxMs);
        EXPECT_EQ(!c.removed, svcGuard.exists());
    }
}

// ---- ending processes by name -----------------------------------------------

TEST(KillProcessesByNameTest, ExactPiecesOnlyFirstMatch) {
    tst::TempDir dir(L"kill");
    // Names unique to this run, so that no other program of the prefix matches.
    const std::wstring tag = std::to_wstring(GetCurrentProcessId()) + L"x" + std::to_wstring(GetTickCount() % 100000);
    const std::wstring target = L"TarvoHelper" + tag + L".exe";
    const std::wstring names[] = {L"helper" + tag + L".exe", L"per" + tag + L".exe", L"tarvohelper" + tag + L".exe"};
    Background programs[3];
    for (int i = 0; i < 3; ++i) {
        std::wstring exe = dir.file(names[i]);
        ASSERT_TRUE(CopyFileW(bin(L"proc_child.exe").c_str(), exe.c_str(), FALSE));
        ASSERT_TRUE(programs[i].start(inQuotes(exe) + L" @sleep 30000"));
    }
    Sleep(300);

    EXPECT_TRUE(killProcessesByName(target));
    EXPECT_EQ(1, programs[2].wait(3000));
    EXPECT_TRUE(programs[0].running());
    EXPECT_TRUE(programs[1].running());

    ASSERT_TRUE(programs[2].start(inQuotes(dir.file(names[2])) + L" @sleep 30000"));
    Sleep(300);
    EXPECT_TRUE(killProcessesByName(L"a.exe;" + target));
    EXPECT_EQ(1, programs[2].wait(3000));
    EXPECT_TRUE(programs[0].running());

    DWORD start = GetTickCount();
    EXPECT_TRUE(killProcessesByName(L"nothing" + tag + L".exe;"));
    EXPECT_LT(elapsedSince(start), 700u);
    EXPECT_TRUE(programs[0].running());
    EXPECT_TRUE(programs[1].running());
}

// ---- app-installed notification -----------------------------------------------

std::wstring appIdRecordPath() {
    wchar_t appData[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, 0, appData);
    return std::wstring(appData) + L"\\tarvozhushou\\tvdata2.dat";
}

// Bytes appended to the app-id record while fn runs.
template <typename Fn>
std::string appendedBy(Fn fn) {
    std::string before = readAll(appIdRecordPath());
    fn();
    std::string after = readAll(appIdRecordPath());
    if (after.compare(0, before.size(), before) != 0) return "<record rewritten>";
    return after.substr(before.size());
}

TEST(NotifyApkInstalledTest, WindowsMissingPresentAndHung) {
    tst::TempDir dir(L"notify");
    {
        SCOPED_TRACE("no window: recorded once per missing window");
        EXPECT_EQ("4242\r\n4242\r\n", appendedBy([] { notifyApkInstalled(L"4242"); }));
        EXPECT_EQ("0\r\n0\r\n", appendedBy([] { notifyApkInstalled(L"abc"); }));
    }
    {
        SCOPED_TRACE("one window receives the id");
        WindowFixture window;
        std::wstring record = dir.file(L"copydata.txt");
        ASSERT_TRUE(window.start(L"--title \"Orvek\u58c1\u7eb8\" --record " + inQuotes(record)));
        EXPECT_EQ("777\r\n", appendedBy([] { notifyApkInstalled(L"777"); }));
        EXPECT_EQ("dwData=777 cbData=4 data=09030000\n", readAll(record));
    }
    {
        SCOPED_TRACE("a hung window costs at most about 5 s and counts as missing");
        WindowFixture window;
        ASSERT_TRUE(window.start(L"--title \"\u5854\u6c83\u52a9\u624b\" --hung"));
        DWORD start = GetTickCount();
        EXPECT_EQ("31\r\n31\r\n", appendedBy([] { notifyApkInstalled(L"31"); }));
        EXPECT_LT(elapsedSince(start), 7000u);
    }
}

// A hidden top-level window of this process, as the loader's own dialog is.
class OwnWindow {
public:
    explicit OwnWindow(const wchar_t* title) {
        static const wchar_t* kClass = L"TarvoNotifyOwnWindow";
        static bool registered = false;
        if (!registered) {
            WNDCLASSW wc = {};
            wc.lpfnWndProc = &OwnWindow::proc;
            wc.hInstance = GetModuleHandleW(nullptr);
            wc.lpszClassName = kClass;
            registered = RegisterClassW(&wc) != 0;
        }
        copies() = 0;
        window_ = CreateWindowExW(0, kClass, title, WS_OVERLAPPED, 0, 0, 100, 100, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    }
    ~OwnWindow() {
        if (window_) DestroyWindow(window_);
    }
    bool ok() const { return window_ != nullptr; }
    static int& copies() {
        static int n = 0;
        return n;
    }

private:
    static LRESULT CALLBACK proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_COPYDATA) ++copies();
        return DefWindowProcW(window, message, wParam, lParam);
    }
    HWND window_;
};

TEST(NotifyApkInstalledTest, WindowsOfThisProcessAreNoReceivers) {
    tst::TempDir dir(L"notify");
    for (bool sibling : {false, true}) {
        SCOPED_TRACE(sibling ? "another program's window of the title too" : "only this process's window");
        WindowFixture other;
        const std::wstring record = dir.file(sibling ? L"sibling.txt" : L"none.txt");
        if (sibling) ASSERT_TRUE(other.start(L"--title \"\u5854\u6c83\u52a9\u624b\" --record " + inQuotes(record)));
        // Made after the other program's window: the search meets it first.
        OwnWindow own(L"\u5854\u6c83\u52a9\u624b");
        ASSERT_TRUE(own.ok());
        EXPECT_EQ(sibling ? "55\r\n" : "55\r\n55\r\n", appendedBy([] { notifyApkInstalled(L"55"); }));
        EXPECT_EQ(0, OwnWindow::copies());
        if (sibling) {
            EXPECT_EQ("dwData=55 cbData=4 data=37000000\n", readAll(record));
        }
    }
}

}  // namespace
