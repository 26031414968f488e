#include "testing/vbox_standin/vbox_standin.h"

#include <tlhelp32.h>

#include "tinyxml.h"

namespace vbs {

namespace {

const qvs::Flavor kFlavor = {L"VBOX_STANDIN_DIR", L"vbox-standin", L"Global\\vbox-standin-record", L"VBOX_USER_HOME",
                             L"VBOX_STANDIN_LIFE_MS"};

void write(DWORD which, const std::string& text) {
    HANDLE h = GetStdHandle(which);
    if (!h || h == INVALID_HANDLE_VALUE) return;
    std::string line = text + "\r\n";
    DWORD written = 0;
    WriteFile(h, line.data(), (DWORD)line.size(), &written, nullptr);
}

bool keyFileExists(const std::wstring& key, const wchar_t* value) {
    HKEY k = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
    wchar_t data[1024] = {};
    DWORD size = sizeof(data) - sizeof(wchar_t);
    DWORD type = 0;
    LONG rc = RegQueryValueExW(k, value, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(k);
    if (rc != ERROR_SUCCESS) return false;
    std::wstring path = data;
    if (!path.empty() && path[0] == L'"') path = path.substr(1, path.find(L'"', 1) - 1);
    return !path.empty() && qvs::fileExists(path);
}

}  // namespace

const wchar_t kServerClsid[] = L"{B1A7A4F2-47B9-4A1E-82B2-07CCD5323C3F}";
const wchar_t kClientClsid[] = L"{DD3FC71D-26C0-4FE1-BF6F-67F633265BBA}";

qvs::Start begin(const std::wstring& program) {
    qvs::setFlavor(kFlavor);
    return qvs::begin(program);
}

void attach(const std::wstring& program) {
    qvs::setFlavor(kFlavor);
    qvs::attach(program);
}

void finish(const qvs::Start& s, int code) {
    if (s.mode == L"exit") code = s.exitCode;
    qvs::recordFields(L"exit", {std::to_wstring(code), s.mode});
    ExitProcess((UINT)code);
}

void applyModes(qvs::Start& s, const std::wstring& section, const std::string& firstLine) {
    qvs::readModes(s, section);
    if (s.mode == L"garbage") {
        qvs::printGarbage();
        finish(s, 0);
    }
    if (s.mode == L"empty") finish(s, 0);
    if (s.mode == L"slow") Sleep(s.delayMs);
    if (s.mode == L"hang") {
        if (!firstLine.empty()) out(firstLine);
        qvs::record(L"hang");
        Sleep(qvs::lifeLeftMs());
        finish(s, 0);
    }
}

void out(const std::string& text) { write(STD_OUTPUT_HANDLE, text); }
void err(const std::string& text) { write(STD_ERROR_HANDLE, text); }

std::string ansi(const std::wstring& text) {
    if (text.empty()) return std::string();
    int n = WideCharToMultiByte(CP_ACP, 0, text.data(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    std::string result(n, '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), (int)text.size(), &result[0], n, nullptr, nullptr);
    return result;
}

std::wstring lower(std::wstring text) {
    CharLowerBuffW(&text[0], (DWORD)text.size());
    return text;
}

std::string lowerA(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    return text;
}

std::wstring envValue(const wchar_t* name) {
    wchar_t buffer[2048] = {};
    DWORD n = GetEnvironmentVariableW(name, buffer, 2048);
    return n > 0 && n < 2048 ? std::wstring(buffer, n) : std::wstring();
}

std::wstring settingsPath() {
    std::wstring home = envValue(L"VBOX_USER_HOME");
    if (home.empty()) home = envValue(L"USERPROFILE") + L"\\.VirtualBox";
    return home + L"\\VirtualBox.xml";
}

bool readBytes(const std::wstring& path, std::string& bytes) {
    bytes.clear();
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(f, buffer, sizeof(buffer), &got, nullptr) && got) bytes.append(buffer, got);
    CloseHandle(f);
    return true;
}

bool writeBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = WriteFile(f, bytes.data(), (DWORD)bytes.size(), &written, nullptr) && written == bytes.size();
    CloseHandle(f);
    return ok;
}

bool loadSettings(TiXmlDocument& doc) {
    std::string bytes;
    if (!readBytes(settingsPath(), bytes)) {
        bytes =
            "<?xml version=\"1.0\"?>\n<VirtualBox xmlns=\"http://www.virtualbox.org/\" version=\"1.16-windows\">"
            "<Global><ExtraData/><MachineRegistry/><MediaRegistry/><SystemProperties/></Global></VirtualBox>\n";
    }
    doc.Parse(bytes.c_str(), nullptr, TIXML_ENCODING_UTF8);
    return !doc.Error() && doc.FirstChildElement("VirtualBox");
}

bool saveSettings(TiXmlDocument& doc) {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, L"vbox-standin-settings");
    if (mutex) WaitForSingleObject(mutex, 10000);
    TiXmlPrinter printer;
    doc.Accept(&printer);
    const std::wstring path = settingsPath();
    CreateDirectoryW(path.substr(0, path.find_last_of(L'\\')).c_str(), nullptr);
    bool ok = writeBytes(path + L"-tmp", printer.Str());
    if (ok) {
        if (qvs::fileExists(path)) MoveFileExW(path.c_str(), (path + L"-prev").c_str(), MOVEFILE_REPLACE_EXISTING);
        ok = MoveFileExW((path + L"-tmp").c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
    }
    if (mutex) {
        ReleaseMutex(mutex);
        CloseHandle(mutex);
    }
    return ok;
}

TiXmlElement* globalChild(TiXmlDocument& doc, const char* name, bool create) {
    TiXmlElement* root = doc.FirstChildElement("VirtualBox");
    if (!root) return nullptr;
    TiXmlElement* global = root->FirstChildElement("Global");
    if (!global && create) global = root->InsertEndChild(TiXmlElement("Global"))->ToElement();
    if (!global) return nullptr;
    TiXmlElement* child = global->FirstChildElement(name);
    if (!child && create) child = global->InsertEndChild(TiXmlElement(name))->ToElement();
    return child;
}

bool comRegistered() {
    return keyFileExists(std::wstring(L"CLSID\\") + kServerClsid + L"\\LocalServer32", nullptr) &&
           keyFileExists(std::wstring(L"CLSID\\") + kClientClsid + L"\\InprocServer32", nullptr);
}

static std::wstring bareUuid(const std::string& uuid) {
    std::string u = lowerA(uuid);
    if (!u.empty() && u.front() == '{') u = u.substr(1);
    if (!u.empty() && u.back() == '}') u.pop_back();
    return qvs::widen(u);
}

std::wstring vmMutexName(const std::string& uuid) { return L"vbox-standin-vm-" + bareUuid(uuid); }
std::wstring vmStopEventName(const std::string& uuid) { return L"vbox-standin-vmstop-" + bareUuid(uuid); }

bool vmRunning(const std::string& uuid) {
    HANDLE m = OpenMutexW(SYNCHRONIZE, FALSE, vmMutexName(uuid).c_str());
    if (!m) return false;
    CloseHandle(m);
    return true;
}

bool setClassesString(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
    HKEY k = nullptr;
    if (RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr) != ERROR_SUCCESS)
        return false;
    LONG rc = RegSetValueExW(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                             (DWORD)((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(k);
    return rc == ERROR_SUCCESS;
}

bool startDetached(const std::wstring& exe, const std::wstring& args, DWORD* pid) {
    return startDetachedLine(L"\"" + qvs::ownFolder() + exe + L"\"" + (args.empty() ? L"" : L" " + args), pid);
}

bool startDetachedLine(const std::wstring& line, DWORD* pid) {
    std::vector<wchar_t> buffer(line.begin(), line.end());
    buffer.push_back(0);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr, nullptr, &si, &pi))
        return false;
    if (pid) *pid = pi.dwProcessId;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
}

}  // namespace vbs
