// Fixture app folders ("app_<id>\app.ini" and an icon file) in the prefix's real
// apps folder, for the tests of the desktop shortcuts. The apps folder and the
// desktop are shared by every test process of the prefix: the fixture holds the
// machine-state mutex for its lifetime, and at its end removes the folders it
// wrote and every link that appeared on the desktop meanwhile.
// Header only: the including test program links the installer.
#pragma once

#include <windows.h>

#include <set>
#include <string>
#include <vector>

#include "installer/app_list.h"
#include "services/install_paths.h"
#include "testing/support/test_support.h"

namespace tst {

class AppFolders {
public:
    AppFolders() {
        desktop_ = getDesktopFolder();
        linksBefore_ = desktopLinks();
    }
    ~AppFolders() {
        for (const std::wstring& id : ids_) removeTree(getAppFolder(id));
        for (const std::wstring& link : desktopLinks())
            if (!linksBefore_.count(link)) {
                SetFileAttributesW((desktop_ + L"\\" + link).c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW((desktop_ + L"\\" + link).c_str());
            }
    }
    AppFolders(const AppFolders&) = delete;
    AppFolders& operator=(const AppFolders&) = delete;

    bool held() const { return lock_.held(); }
    const std::wstring& desktop() const { return desktop_; }

    // Writes app_<id>\app.ini ([app] id, name, pic, through the ANSI code page as
    // the install actions write it) and, when picBytes is given, the file pic.
    bool add(const std::wstring& id, const std::wstring& name, const std::wstring& pic = std::wstring(),
             const std::string& picBytes = std::string()) {
        const std::wstring folder = getAppFolder(id);
        getAppsFolder();
        if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
        ids_.push_back(id);
        const std::wstring ini = folder + L"\\app.ini";
        if (!WritePrivateProfileStringW(L"app", L"id", id.c_str(), ini.c_str()) ||
            !WritePrivateProfileStringW(L"app", L"name", name.c_str(), ini.c_str()) ||
            !WritePrivateProfileStringW(L"app", L"pic", pic.c_str(), ini.c_str()))
            return false;
        return picBytes.empty() || writeFile(folder + L"\\" + pic, picBytes);
    }

    // The .lnk files on the desktop now.
    std::set<std::wstring> desktopLinks() const {
        std::set<std::wstring> names;
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW((desktop_ + L"\\*.lnk").c_str(), &data);
        if (find == INVALID_HANDLE_VALUE) return names;
        do names.insert(data.cFileName);
        while (FindNextFileW(find, &data));
        FindClose(find);
        return names;
    }
    // Links that appeared since the fixture was made.
    std::set<std::wstring> newLinks() const {
        std::set<std::wstring> out;
        for (const std::wstring& l : desktopLinks())
            if (!linksBefore_.count(l)) out.insert(l);
        return out;
    }

private:
    MachineStateLock lock_;  // first in, last out
    std::wstring desktop_;
    std::set<std::wstring> linksBefore_;
    std::vector<std::wstring> ids_;
};

}  // namespace tst
