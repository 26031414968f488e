// Shared by the binding and downloader tests: the test variant of the library,
// its call log, and the fixture web server.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "testing/support/test_support.h"

namespace pftest {

// Copies a library built beside the tests (e.g. "peerfetch_test.dll") into
// folder\peerfetch.dll and returns that path.
inline std::wstring installLibrary(const std::wstring& folder, const std::wstring& builtName) {
    std::wstring target = folder + L"\\peerfetch.dll";
    CopyFileW((tst::binDir() + L"\\" + builtName).c_str(), target.c_str(), FALSE);
    return target;
}

inline std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// Points PEERFETCH_TEST_LOG at a file of its own while alive.
class CallLog {
public:
    explicit CallLog(const std::wstring& path) : path_(path) {
        SetEnvironmentVariableW(L"PEERFETCH_TEST_LOG", path_.c_str());
    }
    ~CallLog() { SetEnvironmentVariableW(L"PEERFETCH_TEST_LOG", nullptr); }
    std::vector<std::string> lines() const {
        std::string text;
        tst::readFile(path_, text);
        return splitLines(text);
    }
    // Lines that start with word (e.g. "start", "query", "attach").
    std::vector<std::string> linesOf(const std::string& word) const {
        std::vector<std::string> out;
        for (const auto& l : lines())
            if (l.compare(0, word.size() + 1, word + " ") == 0) out.push_back(l);
        return out;
    }

private:
    std::wstring path_;
};

// The value of " key=" in a call-log line, up to the next " word=" or the end.
inline std::string field(const std::string& line, const std::string& key) {
    size_t at = line.find(" " + key + "=");
    if (at == std::string::npos) return "<missing>";
    at += key.size() + 2;
    static const char* const keys[] = {" next=", " fullPath=", " stallMs=", " arg4=", " arg5=", " context=",
                                       " arg7=", " arg8=", " options=", " url=", " name=", " folder=",
                                       " handle=", " result="};
    size_t end = line.size();
    for (const char* k : keys) {
        size_t p = line.find(k, at);
        if (p != std::string::npos && p < end) end = p;
    }
    return line.substr(at, end - at);
}

// The fixture web server, serving root (a Windows folder) for at most two minutes.
class WebServer {
public:
    bool start(const std::wstring& root) {
        return process_.start({"/usr/bin/python3", tst::testingDirUnix() + "/webserver/server.py", "--root",
                               tst::unixPath(root), "--lifetime", "110"},
                              120);
    }
    std::wstring url(const std::wstring& path) const {
        return L"http://127.0.0.1:" + std::to_wstring(process_.port()) + path;
    }
    void stop() { process_.stop(); }

private:
    tst::LinuxProcess process_;
};

// Redirects TEMP and TMP to a folder of the test while alive.
class TempOverride {
public:
    explicit TempOverride(const std::wstring& folder) {
        save(L"TEMP", temp_);
        save(L"TMP", tmp_);
        SetEnvironmentVariableW(L"TEMP", folder.c_str());
        SetEnvironmentVariableW(L"TMP", folder.c_str());
    }
    ~TempOverride() {
        SetEnvironmentVariableW(L"TEMP", temp_.c_str());
        SetEnvironmentVariableW(L"TMP", tmp_.c_str());
    }

private:
    static void save(const wchar_t* name, std::wstring& out) {
        wchar_t buf[MAX_PATH * 2] = {};
        DWORD n = GetEnvironmentVariableW(name, buf, MAX_PATH * 2);
        out.assign(buf, n < MAX_PATH * 2 ? n : 0);
    }
    std::wstring temp_, tmp_;
};

}  // namespace pftest
