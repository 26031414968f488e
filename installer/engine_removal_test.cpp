#include "installer/engine_removal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "testing/startup_driver/road_driver.h"
#include "testing/support/test_support.h"

namespace {

TEST(RemovalRuleTest, OnlyFullyQualifiedProductFoldersGo) {
    struct Case {
        RemovalFolder kind;
        const wchar_t* path;
        bool goes;
    } cases[] = {
        {RemovalFolder::PlayerHome, L"C:\\Program Files\\tarvoplayer", true},
        {RemovalFolder::PlayerHome, L"D:\\TarvoPlayer", true},
        {RemovalFolder::PlayerHome, L"\\\\server\\share\\tarvoplayer", true},
        {RemovalFolder::PlayerHome, L"D:\\Games", false},
        {RemovalFolder::PlayerHome, L"\\tarvoplayer", false},
        {RemovalFolder::PlayerHome, L"tarvoplayer", false},
        {RemovalFolder::PlayerHome, L"C:tarvoplayer", false},
        {RemovalFolder::PlayerHome, L"C:\\", false},
        {RemovalFolder::PlayerHome, L"C:\\x\\..\\tarvoplayer", false},
        {RemovalFolder::PlayerHome, L"C:\\*\\tarvoplayer", false},
        {RemovalFolder::PlayerHome, L"C:\\users\\me\\home", false},
        {RemovalFolder::PlayerHome, L"\\\\server\\tarvoplayer", false},
        {RemovalFolder::PlayerHome, L"", false},
        {RemovalFolder::DataFolder, L"C:\\users\\me\\AppData\\Roaming\\tarvozhushou", true},
        {RemovalFolder::DataFolder, L"C:\\ProgramData\\TarvoZhushou", true},
        {RemovalFolder::DataFolder, L"\\tarvozhushou", false},
        {RemovalFolder::DataFolder, L"C:\\ProgramData\\tarvozhushou\\log", false},
        {RemovalFolder::DataFolder, L"C:\\ProgramData", false},
        {RemovalFolder::DataFolder, L"C:\\tarvoplayer", false},
        {RemovalFolder::ShellFolder, L"C:\\users\\me\\Desktop", true},
        {RemovalFolder::ShellFolder, L"", false},
        {RemovalFolder::ShellFolder, L"Desktop", false},
        {RemovalFolder::ShellFolder, L"C:\\", false},
    };
    for (const Case& c : cases) EXPECT_EQ(c.goes, removalMayDelete(c.kind, c.path)) << tst::narrow(c.path);
}

// PendingFileRenameOperations: pairs of "\??\<path>" and the empty target.
const wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";

std::vector<std::wstring> pendingEntries() {
    std::vector<std::wstring> out;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_READ, &key) != ERROR_SUCCESS) return out;
    DWORD size = 0;
    if (RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS &&
        size > 0) {
        std::vector<wchar_t> data(size / sizeof(wchar_t) + 2, 0);
        if (RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr,
                             reinterpret_cast<BYTE*>(data.data()), &size) == ERROR_SUCCESS) {
            const size_t count = size / sizeof(wchar_t);
            for (size_t at = 0; at < count;) {
                std::wstring entry(&data[at]);
                out.push_back(entry);
                at += entry.size() + 1;
            }
            while (!out.empty() && out.back().empty()) out.pop_back();
        }
    }
    RegCloseKey(key);
    return out;
}

// Rewrites the value without the pairs whose source lies under folder.
void dropPendingUnder(const std::wstring& folder) {
    const std::vector<std::wstring> all = pendingEntries();
    const std::wstring prefix = L"\\??\\" + folder;
    std::vector<wchar_t> kept;
    for (size_t i = 0; i < all.size(); i += 2) {
        if (_wcsnicmp(all[i].c_str(), prefix.c_str(), prefix.size()) == 0) continue;
        for (size_t k = i; k < i + 2; ++k) {
            const std::wstring& e = k < all.size() ? all[k] : std::wstring();
            kept.insert(kept.end(), e.begin(), e.end());
            kept.push_back(0);
        }
    }
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
    if (kept.empty()) {
        RegDeleteValueW(key, L"PendingFileRenameOperations");
    } else {
        kept.push_back(0);
        RegSetValueExW(key, L"PendingFileRenameOperations", 0, REG_MULTI_SZ, reinterpret_cast<BYTE*>(kept.data()),
                       (DWORD)(kept.size() * sizeof(wchar_t)));
    }
    RegCloseKey(key);
}

size_t position(const std::vector<std::wstring>& all, const std::wstring& path) {
    auto found = std::find_if(all.begin(), all.end(), [&](const std::wstring& e) {
        return _wcsicmp(e.c_str(), (L"\\??\\" + path).c_str()) == 0;
    });
    return (size_t)(found - all.begin());
}

// A file held open without FILE_SHARE_DELETE (as the log is) can be neither
// deleted nor parked: it and its folders are deleted at the restart.
TEST(RemainsAtRestartTest, HeldFilesAndTheirFoldersAreScheduledFileFirstKeptEntriesNot) {
    tst::MachineStateLock lock;  // the value is the machine's
    ASSERT_TRUE(lock.held());
    tst::TempDir dir(L"remains");
    const std::wstring root = dir.file(L"tarvozhushou");
    const std::wstring nested = root + L"\\log\\old";
    CreateDirectoryW(root.c_str(), nullptr);
    CreateDirectoryW((root + L"\\log").c_str(), nullptr);
    CreateDirectoryW(nested.c_str(), nullptr);
    CreateDirectoryW((root + L"\\keep").c_str(), nullptr);
    const std::wstring held = nested + L"\\TarvoLoader.log";
    ASSERT_TRUE(tst::writeFile(held, "line\r\n"));
    ASSERT_TRUE(tst::writeFile(root + L"\\keep\\k.txt", "k"));
    HANDLE holder = CreateFileW(held.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, holder);

    scheduleRemainsAtRestart(root, L"KEEP");
    const std::vector<std::wstring> all = pendingEntries();
    CloseHandle(holder);
    dropPendingUnder(root);

    const size_t file = position(all, held);
    ASSERT_LT(file, all.size());
    EXPECT_EQ(L"", file + 1 < all.size() ? all[file + 1] : L"?");
    EXPECT_LT(file, position(all, nested));
    EXPECT_LT(position(all, nested), position(all, root + L"\\log"));
    EXPECT_LT(position(all, root + L"\\log"), all.size());
    // The kept entry, and so the folder that holds it, stay.
    EXPECT_EQ(all.size(), position(all, root + L"\\keep\\k.txt"));
    EXPECT_EQ(all.size(), position(all, root + L"\\keep"));
    EXPECT_EQ(all.size(), position(all, root));
    const std::vector<std::wstring> after = pendingEntries();
    EXPECT_EQ(after.size(), position(after, held));  // the test's own entries are taken out again
}

TEST(RemainsAtRestartTest, NothingLeftNothingScheduled) {
    tst::MachineStateLock lock;
    ASSERT_TRUE(lock.held());
    tst::TempDir dir(L"remains");
    const size_t before = pendingEntries().size();
    scheduleRemainsAtRestart(dir.file(L"gone"), std::wstring());
    EXPECT_EQ(before, pendingEntries().size());
}

}  // namespace
