// Runs one toolkit scenario whose outcome shows only at process end and
// appends what happened, one line per event, to the file named by argv[2].
//
//   toolkit_child.exe live-thread <out>      destroys a Thread whose thread still runs
//   toolkit_child.exe singleton-order <out>  creates singletons A then B and exits
//   toolkit_child.exe recursive-singleton <out>  getInstance from T's own constructor
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "toolkit/singleton.h"
#include "toolkit/thread.h"

namespace {

std::wstring g_outPath;

void note(const std::string& line) {
    FILE* f = _wfopen(g_outPath.c_str(), L"ab");
    if (!f) return;
    std::fwrite(line.data(), 1, line.size(), f);
    std::fputc('\n', f);
    std::fclose(f);
}

// Debugger output becomes "dbg:<text>" lines (trailing line ends dropped).
LONG CALLBACK debugHandler(EXCEPTION_POINTERS* info) {
    if (info->ExceptionRecord->ExceptionCode == 0x40010006 && info->ExceptionRecord->NumberParameters >= 2) {
        size_t len = static_cast<size_t>(info->ExceptionRecord->ExceptionInformation[0]);
        const char* text = reinterpret_cast<const char*>(info->ExceptionRecord->ExceptionInformation[1]);
        std::string s(text ? text : "", text ? len : 0);
        while (!s.empty() && (s.back() == '\0' || s.back() == '\n')) s.pop_back();
        note("dbg:" + s);
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

struct Blocker {
    HANDLE entered;
    HANDLE release;
    HANDLE finished;
    int wait() {
        SetEvent(entered);
        WaitForSingleObject(release, 10000);
        SetEvent(finished);
        return 5;
    }
};

int liveThread() {
    Blocker b{CreateEventW(nullptr, TRUE, FALSE, nullptr), CreateEventW(nullptr, TRUE, FALSE, nullptr),
              CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    ravel::system::Thread* t = new ravel::system::Thread();
    t->delegate().bind(&b, &Blocker::wait);
    if (!t->start().value()) {
        note("start failed");
        return 2;
    }
    // As at process exit: the thread is inside its target when its owner goes.
    WaitForSingleObject(b.entered, 10000);
    try {
        delete t;
        note("deleted");
    } catch (...) {
        note("delete threw");
    }
    SetEvent(b.release);
    note(WaitForSingleObject(b.finished, 10000) == WAIT_OBJECT_0 ? "thread finished" : "thread stuck");
    Sleep(100);
    return 0;
}

class SingleA : public ravel::pattern::Singleton<SingleA> {
    friend class ravel::pattern::Singleton<SingleA>;
    SingleA() { note("A()"); }
    ~SingleA() { note("~A"); }
};
class SingleB : public ravel::pattern::Singleton<SingleB> {
    friend class ravel::pattern::Singleton<SingleB>;
    SingleB() { note("B()"); }
    ~SingleB() { note("~B"); }
};

int singletonOrder() {
    SingleA::getInstance();
    SingleB::getInstance();
    SingleA::getInstance();
    note("main done");
    return 0;
}

class Recursive : public ravel::pattern::Singleton<Recursive> {
    friend class ravel::pattern::Singleton<Recursive>;
    Recursive() {
        note("Recursive()");
        Recursive::getInstance();
        note("recursed");
    }
};

int recursiveSingleton() {
    Recursive::getInstance();
    note("returned");
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 100;
    g_outPath = argv[2];
    AddVectoredExceptionHandler(1, &debugHandler);
    std::wstring scenario = argv[1];
    if (scenario == L"live-thread") return liveThread();
    if (scenario == L"singleton-order") return singletonOrder();
    if (scenario == L"recursive-singleton") return recursiveSingleton();
    return 101;
}
