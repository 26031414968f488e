// The dialog's tests: the real dialog on this thread, the real installer with a
// scripted engine, a message pump with a deadline, and the dialog's log lines.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/ui/main_dialog.h"
#include "installer/installer.h"
#include "services/loader_env.h"
#include "testing/fakes/fake_installer.h"
#include "testing/support/test_support.h"

namespace dialogtest {

inline fakes::FakeInstallerEnv& engine() {
    static fakes::FakeInstallerEnv* env = [] {
        fakes::FakeInstallerEnv* e = new fakes::FakeInstallerEnv();
        v2::setInstallerEnv(e);
        return e;
    }();
    return *env;
}

inline std::vector<std::wstring>& openedLinks() {
    static std::vector<std::wstring> links;
    return links;
}
inline void recordLink(const std::wstring& link) { openedLinks().push_back(link); }

inline std::wstring logPath() { return getLogFolder() + L"\\dialog_tests.log"; }

// The log's texts without their time stamps, from `offset` on.
inline std::vector<std::string> logTexts(size_t offset) {
    std::string text;
    tst::readFile(logPath(), text);
    std::vector<std::string> out;
    if (offset > text.size()) return out;
    size_t start = offset;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t p = line.find(", , ");
        out.push_back(p == std::string::npos ? line : line.substr(p + 4));
    }
    return out;
}

// The "#32770" box owned by `owner`, or null.
inline HWND findOwnedBox(HWND owner) {
    HWND box = nullptr;
    while ((box = FindWindowExW(nullptr, box, L"#32770", nullptr)) != nullptr) {
        if (GetWindow(box, GW_OWNER) == owner) return box;
    }
    return nullptr;
}

// Waits on another thread for the dialog's failure box, reads it, lets `whileOpen`
// look at the screen, then answers it.
class BoxAnswerer {
public:
    BoxAnswerer(HWND owner, int answer, std::function<void(HWND)> whileOpen = nullptr, DWORD waitMs = 30000)
        : thread_([=] {
              for (DWORD waited = 0; waited < waitMs && !stop_; waited += 50) {
                  HWND box = findOwnedBox(owner);
                  if (box && IsWindowVisible(box)) {
                      wchar_t buf[512] = {};
                      GetDlgItemTextW(box, 0xFFFF, buf, 512);
                      text = buf;
                      GetWindowTextW(box, buf, 512);
                      title = buf;
                      Sleep(200);  // let it paint
                      if (whileOpen) whileOpen(box);
                      ++boxes;
                      PostMessageW(box, WM_COMMAND, answer, 0);
                      return;
                  }
                  Sleep(50);
              }
          }) {}
    ~BoxAnswerer() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    void join() {
        if (thread_.joinable()) thread_.join();
    }
    std::wstring text, title;
    std::atomic<int> boxes{0};

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class DialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        engine().reset();
        installer = v2::Installer::getInstance();
        installer->wait(30000);
        installer->progressEvent().reset();
        DialogTimings& t = dialogTimings();
        t = DialogTimings();
        t.slideMs = 600000;  // nothing moves unless a case asks for it
        t.hideMs = 600000;
        t.pictureDeadlineMs = 600000;
        setOpenLinkHook(&recordLink);
        openedLinks().clear();
        std::string text;
        tst::readFile(logPath(), text);
        logOffset = text.size();
    }
    void TearDown() override {
        if (dialog && !dialog->closed() && dialog->hwnd()) dialog->closeDialog(0);
        pumpUntil([&] { return quit; }, 2000);
        engine().release();
        installer->wait(30000);
        installer->progressEvent().reset();
        dialog.reset();
        setOpenLinkHook(nullptr);
        dialogTimings() = DialogTimings();
        // A box left by a failed case must not answer the next one.
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        }
    }

    MainDialogInputs inputs(const std::wstring& commandLine = L"TarvoLoader.exe") {
        MainDialogInputs in;
        in.commandLine = commandLine;
        in.displayName = L"塔沃模拟器";
        in.appName = L"塔沃示例";
        in.picturesFolder = pictures.path() + L"\\install_pics";
        in.supportLink = L"http://127.0.0.1:9/feedback";
        in.runAction = ActionInstall;
        return in;
    }

    // Creates the dialog as the window run does (shown unless hidden).
    CMainDlg* open(const MainDialogInputs& in) {
        platform::window::registerDialogClass(GetModuleHandleW(nullptr), kMainDialogClass);
        dialog.reset(new CMainDlg(*installer, loop, in));
        if (!dialog->create(GetModuleHandleW(nullptr), kMainDialogTemplate, nullptr)) {
            ADD_FAILURE() << "dialog not created: " << GetLastError();
            return dialog.get();
        }
        installer->progressEvent().bind(dialog.get(), &CMainDlg::postInstallProgress);
        if (!in.hiddenRun) ShowWindow(dialog->hwnd(), SW_SHOWNORMAL);
        return dialog.get();
    }

    // A dialog whose run blocks in the engine (install), with the pictures applied.
    CMainDlg* openBlocked(const std::wstring& commandLine = L"TarvoLoader.exe", int op = 1) {
        engine().ops[op].block = true;
        MainDialogInputs in = inputs(commandLine);
        in.runAction = op;
        open(in);
        EXPECT_TRUE(pumpUntil([&] { return dialog->picturesApplied() && engine().waitBlocked(0); }, 20000));
        return dialog.get();
    }

    // Pumps this thread's messages through the dialog's filter until cond holds.
    bool pumpUntil(const std::function<bool()>& cond, DWORD ms) {
        const DWORD start = GetTickCount();
        for (;;) {
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                if (msg.message == WM_QUIT) {
                    quit = true;
                    quitCode = (int)msg.wParam;
                    continue;
                }
                if (dialog && dialog->preTranslate(msg)) continue;
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
            if (cond()) return true;
            const DWORD spent = GetTickCount() - start;
            if (spent >= ms) return false;
            MsgWaitForMultipleObjects(0, nullptr, FALSE, (ms - spent) < 20 ? (ms - spent) : 20, QS_ALLINPUT);
        }
    }
    void pumpFor(DWORD ms) {
        pumpUntil([] { return false; }, ms);
    }

    // Posts a record as the installer thread would.
    void post(int stage, int state, int error, float percent = 0, const std::wstring& text = std::wstring()) {
        dialog->postInstallProgress(stage, state, error, percent, L"detail", text);
    }

    std::vector<std::string> dialogLines() const {
        std::vector<std::string> out;
        for (const std::string& l : logTexts(logOffset))
            if (l.compare(0, 8, "dialog: ") == 0) out.push_back(l);
        return out;
    }
    bool logged(const std::string& line) const {
        for (const std::string& l : dialogLines())
            if (l == line) return true;
        return false;
    }
    int countLogged(const std::string& line) const {
        int n = 0;
        for (const std::string& l : dialogLines()) n += l == line ? 1 : 0;
        return n;
    }

    // Whether the tray holds an icon of the dialog's window with id 0: a second
    // add of that icon fails (one that succeeds is taken away again).
    bool trayIconExists() {
        NOTIFYICONDATAW nid = {};
        nid.cbSize = platform::window::kTrayRecordSize;
        nid.hWnd = dialog->hwnd();
        nid.uID = 0;
        nid.uFlags = NIF_TIP;
        if (!Shell_NotifyIconW(NIM_ADD, &nid)) return true;
        Shell_NotifyIconW(NIM_DELETE, &nid);
        return false;
    }

    v2::Installer* installer = nullptr;
    platform::window::MessageLoop loop;
    std::unique_ptr<CMainDlg> dialog;
    tst::TempDir pictures{L"dlg"};
    size_t logOffset = 0;
    bool quit = false;
    int quitCode = -1;
};

}  // namespace dialogtest
