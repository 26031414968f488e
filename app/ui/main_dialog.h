// The loader's window in a visible run: a borderless 652 x 410 dialog with a
// slide picture, a status line, a progress bar and a close button. It fetches
// the channel's skin pictures, starts the installer, follows its progress,
// hides itself into the tray and offers a rollback after a failed install.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include "app/ui/image_button.h"
#include "app/ui/shadow.h"
#include "installer/installer.h"
#include "platform/window/message_loop.h"
#include "platform/window/message_map.h"
#include "platform/window/tray_icon.h"
#include "platform/window/window.h"
#include "toolkit/scoped_handle.h"
#include "toolkit/smart_ptr.h"

// What the dialog needs to know of the run, read once on the UI thread.
struct MainDialogInputs {
    std::wstring commandLine;  // for the substring tests ("uninstall", "slient", "silent")
    std::wstring displayName;
    std::wstring appName;  // the channel's app, for the tray tip; may be empty
    std::wstring cno;      // empty: no pictures are fetched
    std::wstring slideUrls[3];
    std::wstring iconUrl;
    std::wstring picturesFolder;
    std::wstring supportLink;  // opened by OK in the failure box
    bool hiddenRun = false;    // shown only when the user opens it from the tray
    InstallAction runAction = ActionInstall;
};

// The product's inputs: the process command line, the channel record, the
// user data folder, the product web host and the road's flags.
MainDialogInputs productDialogInputs();

// Process-wide timings of the dialog (tests shorten them).
struct DialogTimings {
    UINT slideMs = 5000;
    UINT hideMs = 10000;
    DWORD downloadMs = 5000;
    UINT pictureDeadlineMs = 30000;
    UINT rollbackPollMs = 200;
};
DialogTimings& dialogTimings();

// Opens the support link; the default runs ShellExecuteW "open". Null restores it.
typedef void (*OpenLinkHook)(const std::wstring& link);
void setOpenLinkHook(OpenLinkHook hook);

// The picture thread's work, shared with the dialog. The thread writes the
// results and then posts 2025; the dialog reads them only in that handler.
struct PictureJob {
    std::wstring cno;
    std::wstring slideUrls[3];
    std::wstring iconUrl;
    std::wstring folder;
    DWORD downloadMs = 5000;
    std::vector<std::wstring> pics;  // downloaded slide files, repeated up to three
    std::wstring iconPath;
};
// Steps of the picture thread on a job: clears the folder, downloads, fills the results.
void downloadInstallPics(PictureJob& job);

// The dialog's messages and resources.
const UINT kMsgInstallProgress = WM_USER + 1000;  // 2024
const UINT kMsgPicturesReady = WM_USER + 1001;    // 2025
const UINT kMsgTrayNotify = WM_USER + 1002;       // 2026
const UINT kMainDialogTemplate = 129;
const wchar_t* const kMainDialogClass = L"TarvoLoaderDlg";

class CMainDlg : public platform::window::Dialog,
                 public CShadowWnd<CMainDlg>,
                 public platform::window::MessageFilter {
public:
    CMainDlg(v2::Installer& installer, platform::window::MessageLoop& loop, const MainDialogInputs& inputs);
    ~CMainDlg() override;

    // The installer's progress listener (any thread): posts a record to the window.
    void postInstallProgress(int stage, int state, int error, float percent, const std::wstring& detail,
                             const std::wstring& message);
    // Destroys the window and ends the message loop with code.
    void closeDialog(int code);
    bool addTrayIcon(bool force);
    bool showTrayBalloon(const std::wstring& text, const std::wstring& title, DWORD infoFlags, UINT timeout);

    bool preTranslate(MSG& msg) override;

    // What the window shows, for the tests.
    int stage() const { return stage_; }
    int error() const { return error_; }
    int percent() const { return percent_; }
    const std::wstring& statusText() const { return statusText_; }
    int slideIndex() const { return slideIndex_; }
    bool slideTimerRunning() const { return slideTimerId_ != (UINT)-1; }
    bool hasChannelIcon() const { return hasChannelIcon_ != 0; }
    const std::wstring& trayTip() const { return trayTip_; }
    const platform::window::TrayIcon& trayIcon() const { return tray_; }
    bool failureBoxOpen() const { return boxOpen_; }
    bool closed() const { return closed_; }
    bool picturesApplied() const { return picsState_ == 1; }
    HBITMAP slideBitmap(int index) const { return index >= 0 && index < 4 ? images_[index].get() : nullptr; }

protected:
    bool processMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

private:
    static const platform::window::MessageMap<CMainDlg>& messageMap();

    LRESULT onInitDialog(UINT, WPARAM, LPARAM, bool& handled);
    LRESULT onEraseBkgnd(UINT, WPARAM, LPARAM, bool& handled);
    LRESULT onDestroy(UINT, WPARAM, LPARAM, bool& handled);
    LRESULT onPaint(UINT, WPARAM, LPARAM, bool& handled);
    LRESULT onTimer(UINT, WPARAM, LPARAM, bool& handled);
    LRESULT onSize(UINT, WPARAM, LPARAM, bool& handled);
    LRESULT onWindowPosChanged(UINT, WPARAM, LPARAM, bool& handled);
    LRESULT onLButtonDown(UINT, WPARAM, LPARAM, bool& handled);
    LRESULT onLButtonUp(UINT, WPARAM, LPARAM, bool& handled);
    LRESULT onMouseMove(UINT, WPARAM, LPARAM, bool& handled);
    LRESULT onMouseLeave(UINT, WPARAM, LPARAM, bool& handled);
    LRESULT onInstallProgress(UINT, WPARAM, LPARAM, bool& handled);
    LRESULT onInstallPicsReady(UINT, WPARAM, LPARAM, bool& handled);
    LRESULT onTrayNotify(UINT, WPARAM, LPARAM, bool& handled);
    LRESULT onTaskbarCreated(UINT, WPARAM, LPARAM, bool& handled);
    LRESULT onCloseButton(UINT, WPARAM, LPARAM, bool& handled);
    LRESULT onMinimize(UINT, WPARAM, LPARAM, bool& handled);
    LRESULT onTryNowButton(UINT, WPARAM, LPARAM, bool& handled);
    LRESULT onInstallButton(UINT, WPARAM, LPARAM, bool& handled);
    LRESULT onRedownloadButton(UINT, WPARAM, LPARAM, bool& handled);
    LRESULT onTrayCommand(UINT, WPARAM, LPARAM, bool& handled);

    void createButtons();
    void startSlideTimer();
    void startRun(InstallAction action);
    void hideToTray();
    void showFromTray();
    void removeTrayIcon();
    void openFailureBox();
    void redrawAll();
    void redrawStatus();
    void drawContent(HDC dc, const RECT& client);
    bool commandLineHas(const wchar_t* text) const;
    std::wstring initialStatus() const;
    HBITMAP loadCheckedPicture(const std::wstring& path, int minWidth) const;

    v2::Installer& installer_;
    platform::window::MessageLoop& loop_;
    MainDialogInputs inputs_;

    int contentShown_ = 0;
    ScopedGdiObject<HBITMAP> images_[4];
    ScopedGdiObject<HBITMAP> progressImage_;
    ScopedGdiObject<HFONT> font_;
    CMButton closeButton_, tryNowButton_, installButton_, redownloadButton_;
    int width_ = 652, height_ = 410;
    RECT textArea_ = {0, 0, 0, 0};
    RECT progressRect_ = {0, 0, 0, 0};
    int mouseTracking_ = 0;
    int slideIndex_ = 0;
    int percent_ = 0;
    int stage_ = -1, error_ = 0;
    int loggedStage_ = -2, loggedState_ = -2, loggedError_ = -2;  // the last logged triple
    std::wstring statusText_;
    UINT slideTimerId_ = (UINT)-1;
    int hasChannelIcon_ = 0;
    int picsState_ = -1;
    platform::window::TrayIcon tray_;
    std::wstring trayTip_;
    UINT taskbarCreatedMsg_ = 0, trayNotifyMsg_ = 0;
    HMENU trayMenu_ = nullptr;

    ravel::object::smart_ptr<PictureJob> job_;
    std::atomic<HWND> postTarget_{nullptr};  // the window while it takes records
    bool boxOpen_ = false;
    bool rollbackPending_ = false;
    bool everShown_ = false;
    bool closed_ = false;
};

// The window run of a visible loader: the dialog and the message loop until the
// dialog closes, then the wait for the installer. False (with GetLastError) when
// the dialog could not be created.
bool runMainWindow(v2::Installer& installer, const MainDialogInputs& inputs, UINT templateId = kMainDialogTemplate);
