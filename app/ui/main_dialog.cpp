#include "app/ui/main_dialog.h"

#include <windowsx.h>
#include <commctrl.h>
#include <shellapi.h>

#include <cmath>
#include <cstdio>

#include "app/product_services.h"
#include "app/res/resource_ids.h"
#include "app/startup.h"
#include "app/ui/images.h"
#include "app/ui/skin_download.h"
#include "installer/channel_config.h"
#include "services/com_init.h"
#include "services/loader_env.h"
#include "services/log.h"
#include "services/web_hosts.h"
#include "toolkit/file_util.h"
#include "toolkit/thread.h"

using platform::window::MessageMap;

namespace {

const UINT kTimerSlides = 1;
const UINT kTimerHide = 2;
const UINT kTimerPictureDeadline = 3;
const UINT kTimerRollback = 4;

const UINT kIdClose = 5555;
const UINT kIdMinimize = 5556;
const UINT kIdTryNow = 5557;
const UINT kIdInstall = 5558;
const UINT kIdRedownload = 5559;

const COLORREF kStatusColour = 0xEBB261;
const COLORREF kFrameColour = 0xC0C0C0;

const wchar_t* const kFailureText =
    L"安装失败！\n点击“确定”反馈问题，即可获得官方奖励！\n点击“取消”进行回滚操作。";
const wchar_t* const kFailureTitle = L"塔沃助手";

// A slide or icon file larger than this is not read at all.
const DWORD kMaxPictureFileBytes = 8u * 1024u * 1024u;

// Set only while the tray holds the dialog's icon.
bool g_trayIconAdded = false;

const BLENDFUNCTION kBlend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};

void defaultOpenLink(const std::wstring& link) {
    ShellExecuteW(nullptr, L"open", link.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

OpenLinkHook g_openLink = &defaultOpenLink;

HFONT makeStatusFont() {
    LOGFONTW lf = {};
    GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof lf, &lf);
    lstrcpynW(lf.lfFaceName, L"Tahoma", LF_FACESIZE);
    lf.lfHeight = -12;
    lf.lfWeight = 400;
    return CreateFontIndirectW(&lf);
}

HBITMAP loadPng(UINT id) { return loadImage(MAKEINTRESOURCEW(id), L"png"); }

bool bitmapSize(HBITMAP b, int& w, int& h) {
    BITMAP bm = {};
    if (!b || !GetObjectW(b, sizeof bm, &bm)) return false;
    w = bm.bmWidth;
    h = bm.bmHeight < 0 ? -bm.bmHeight : bm.bmHeight;
    return true;
}

void blend(HDC dst, int x, int y, int w, int h, HDC src, int sx, int sy, int sw, int sh) {
    if (w <= 0 || h <= 0 || sw <= 0 || sh <= 0) return;
    AlphaBlend(dst, x, y, w, h, src, sx, sy, sw, sh, kBlend);
}

bool fileExists(const std::wstring& path) {
    DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

// The picture thread: works on its share of the job only, and posts 2025.
class PictureThread : public ravel::system::Thread {
public:
    // Its own share: the job outlives whichever of the two ends last.
    PictureThread(const ravel::object::smart_ptr<PictureJob>& job, HWND target) : job_(job), target_(target) {}
    int run() override {
        {
            ComInitGuard com;
            downloadInstallPics(*job_);
        }
        // A destroyed window drops the post.
        PostMessageW(target_, kMsgPicturesReady, 0, 0);
        return 0;
    }

private:
    ravel::object::smart_ptr<PictureJob> job_;
    HWND target_;
};

}  // namespace

DialogTimings& dialogTimings() {
    static DialogTimings timings;
    return timings;
}

void setOpenLinkHook(OpenLinkHook hook) { g_openLink = hook ? hook : &defaultOpenLink; }

MainDialogInputs productDialogInputs() {
    MainDialogInputs in;
    in.commandLine = GetCommandLineW();
    in.displayName = getProductDisplayName();
    ChannelConfig& channel = ChannelConfig::instance();
    AppInfo app;
    if (!channel.apkId.empty() && channel.findApp(channel.apkId, app)) in.appName = app.name;
    in.cno = getCno(in.commandLine);
    if (!channel.apps().empty()) {
        const AppInfo first = channel.apps().front();
        for (size_t i = 0; i < 3 && i < first.tipPictures.size(); ++i) in.slideUrls[i] = first.tipPictures[i];
        in.iconUrl = first.iconUrl;
    }
    in.picturesFolder = getUserDataFolder() + L"\\install_pics";
    in.supportLink = webHostAddress(WebHost::Product) + L"/feedback";
    in.hiddenRun = g_silent_upgrade;
    v2::Installer* installer = g_installer ? g_installer : v2::Installer::getInstance();
    in.runAction = installer->getAction();
    return in;
}

void downloadInstallPics(PictureJob& job) {
    job.pics.clear();
    job.iconPath.clear();
    if (job.cno.empty()) return;
    const std::wstring names[4] = {job.cno + L"_01.png", job.cno + L"_02.png", job.cno + L"_03.png",
                                   job.cno + L"_icon.png"};
    const std::wstring* urls[4] = {&job.slideUrls[0], &job.slideUrls[1], &job.slideUrls[2], &job.iconUrl};
    std::wstring paths[4];
    for (int i = 0; i < 4; ++i) paths[i] = job.folder + L"\\" + names[i];
    job.iconPath = paths[3];

    // Pictures of an earlier run never stand in for this one's.
    deletePath(job.folder, false);
    if (!isDirectory(job.folder)) createDirectoryPath(job.folder);
    for (int i = 0; i < 4; ++i) DeleteFileW(paths[i].c_str());

    for (int i = 0; i < 4; ++i) {
        if (!urls[i]->empty()) downloadUrlToFile(*urls[i], job.folder, paths[i], job.downloadMs);
        // A page or a broken picture counts as not downloaded, so that the first
        // slide's copies below are of good pictures only.
        if (fileExists(paths[i]) && !isLoadablePicture(paths[i])) DeleteFileW(paths[i].c_str());
    }
    for (int i = 0; i < 3; ++i) {
        if (fileExists(paths[i])) job.pics.push_back(paths[i]);
    }
    while (!job.pics.empty() && job.pics.size() < 3) job.pics.push_back(job.pics.front());
}

CMainDlg::CMainDlg(v2::Installer& installer, platform::window::MessageLoop& loop, const MainDialogInputs& inputs)
    : installer_(installer), loop_(loop), inputs_(inputs) {
    statusText_ = initialStatus();
    trayTip_ = commandLineHas(L"uninstall") ? inputs_.displayName + L"：正在卸载"
                                             : inputs_.displayName + L"：正在安装" + inputs_.appName;
    PictureJob* job = new PictureJob();
    job->cno = inputs_.cno;
    for (int i = 0; i < 3; ++i) job->slideUrls[i] = inputs_.slideUrls[i];
    job->iconUrl = inputs_.iconUrl;
    job->folder = inputs_.picturesFolder;
    job->downloadMs = dialogTimings().downloadMs;
    job_.reset(job);
}

CMainDlg::~CMainDlg() {
    postTarget_.store(nullptr);
    destroy();
    if (trayMenu_) DestroyMenu(trayMenu_);
}

const MessageMap<CMainDlg>& CMainDlg::messageMap() {
    static const MessageMap<CMainDlg> map = MessageMap<CMainDlg>()
        .chain(&CMainDlg::processShadowMessage)
        .message(WM_INITDIALOG, &CMainDlg::onInitDialog)
        .message(WM_ERASEBKGND, &CMainDlg::onEraseBkgnd)
        .message(WM_DESTROY, &CMainDlg::onDestroy)
        .message(WM_PAINT, &CMainDlg::onPaint)
        .message(WM_TIMER, &CMainDlg::onTimer)
        .message(WM_SIZE, &CMainDlg::onSize)
        .message(WM_WINDOWPOSCHANGED, &CMainDlg::onWindowPosChanged)
        .message(WM_LBUTTONDOWN, &CMainDlg::onLButtonDown)
        .message(WM_LBUTTONUP, &CMainDlg::onLButtonUp)
        .message(WM_MOUSEMOVE, &CMainDlg::onMouseMove)
        .message(WM_MOUSELEAVE, &CMainDlg::onMouseLeave)
        .message(kMsgInstallProgress, &CMainDlg::onInstallProgress)
        .message(kMsgPicturesReady, &CMainDlg::onInstallPicsReady)
        .message(kMsgTrayNotify, &CMainDlg::onTrayNotify)
        .registered(&CMainDlg::taskbarCreatedMsg_, &CMainDlg::onTaskbarCreated)
        .command(kIdClose, &CMainDlg::onCloseButton)
        .command(kIdMinimize, &CMainDlg::onMinimize)
        .command(kIdTryNow, &CMainDlg::onTryNowButton)
        .command(kIdInstall, &CMainDlg::onInstallButton)
        .command(kIdRedownload, &CMainDlg::onRedownloadButton)
        .command(ID_TRAY_EXIT, &CMainDlg::onTrayCommand)
        .command(ID_TRAY_SHOW, &CMainDlg::onTrayCommand);
    return map;
}

bool CMainDlg::processMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    return messageMap().dispatch(this, hwnd(), message, wParam, lParam, result);
}

bool CMainDlg::preTranslate(MSG& msg) { return hwnd() && IsDialogMessageW(hwnd(), &msg) != FALSE; }

std::wstring CMainDlg::initialStatus() const {
    return commandLineHas(L"uninstall") ? L"正在为您执行卸载..." : L"正在为您下载塔沃模拟器...";
}

bool CMainDlg::commandLineHas(const wchar_t* text) const {
    return inputs_.commandLine.find(text) != std::wstring::npos;
}

LRESULT CMainDlg::onInitDialog(UINT, WPARAM, LPARAM, bool&) {
    HCURSOR previous = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    HWND h = hwnd();
    if (g_loaderMutex.get()) g_loaderMutex->markWindow(h);
    if (!commandLineHas(L"uninstall") && !commandLineHas(L"slient")) SetTimer(h, kTimerHide, dialogTimings().hideMs, nullptr);

    HINSTANCE instance = GetModuleHandleW(nullptr);
    HICON big = (HICON)LoadImageW(instance, MAKEINTRESOURCEW(IDI_LOADER), IMAGE_ICON, GetSystemMetrics(SM_CXICON),
                                  GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR | LR_SHARED);
    HICON small = (HICON)LoadImageW(instance, MAKEINTRESOURCEW(IDI_LOADER), IMAGE_ICON,
                                    GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                    LR_DEFAULTCOLOR | LR_SHARED);
    SendMessageW(h, WM_SETICON, ICON_BIG, (LPARAM)big);
    SendMessageW(h, WM_SETICON, ICON_SMALL, (LPARAM)small);

    loop_.addFilter(this);
    // Named for the taskbar, Alt+Tab, screen readers and FindWindow; drawn nowhere.
    SetWindowTextW(h, inputs_.displayName.c_str());

    // Registered now, so the map's row never stands for 0 (WM_NULL). The elevated
    // loader lets Explorer's broadcast and the tray's callbacks through.
    taskbarCreatedMsg_ = RegisterWindowMessageW(L"TaskbarCreated");
    trayNotifyMsg_ = RegisterWindowMessageW(L"TrayTaskbarNotifyMsg");
    typedef BOOL(WINAPI * FilterExFn)(HWND, UINT, DWORD, PCHANGEFILTERSTRUCT);
    typedef BOOL(WINAPI * FilterFn)(UINT, DWORD);
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    FilterExFn filterEx = user32 ? (FilterExFn)(void*)GetProcAddress(user32, "ChangeWindowMessageFilterEx") : nullptr;
    FilterFn filter = user32 ? (FilterFn)(void*)GetProcAddress(user32, "ChangeWindowMessageFilter") : nullptr;
    if (filterEx) {
        filterEx(h, taskbarCreatedMsg_, MSGFLT_ALLOW, nullptr);
        filterEx(h, kMsgTrayNotify, MSGFLT_ALLOW, nullptr);
    } else if (filter) {
        filter(taskbarCreatedMsg_, MSGFLT_ADD);
        filter(kMsgTrayNotify, MSGFLT_ADD);
    }

    hasChannelIcon_ = 0;
    images_[0].reset(loadPng(IDP_SLIDE1));
    images_[1].reset(loadPng(IDP_SLIDE2));
    images_[2].reset(loadPng(IDP_SLIDE3));
    progressImage_.reset(loadPng(IDP_PROGRESS));
    textArea_ = RECT{220, 80, 652, 410};
    font_.reset(makeStatusFont());
    createButtons();

    SetWindowPos(h, nullptr, 0, 0, width_, height_, SWP_NOMOVE | SWP_NOZORDER);
    platform::window::centerOnWorkArea(h);
    platform::window::raiseOnce(h);
    contentShown_ = 1;
    postTarget_.store(h);

    // The installer starts on 2025, or at the deadline when the pictures are late.
    SetTimer(h, kTimerPictureDeadline, dialogTimings().pictureDeadlineMs, nullptr);
    PictureThread* thread = new PictureThread(job_, h);
    thread->setAutoDelete(true);
    if (!thread->start().value()) delete thread;  // the deadline still starts the run

    logPrintf("dialog: created");
    SetCursor(previous);
    return FALSE;
}

void CMainDlg::createButtons() {
    const RECT empty = {0, 0, 0, 0};
    HWND h = hwnd();
    closeButton_.create(kIdClose, h, empty, loadPng(IDP_CLOSE), 3);
    tryNowButton_.create(kIdTryNow, h, empty, loadPng(IDP_TRYNOW), 4);
    installButton_.create(kIdInstall, h, empty, loadPng(IDP_BUTTON), 4);
    installButton_.setText(L"立即安装");
    redownloadButton_.create(kIdRedownload, h, empty, loadPng(IDP_BUTTON), 4);
    redownloadButton_.setText(L"重新下载");
}

LRESULT CMainDlg::onEraseBkgnd(UINT, WPARAM, LPARAM, bool&) { return 1; }

LRESULT CMainDlg::onDestroy(UINT, WPARAM, LPARAM, bool&) {
    postTarget_.store(nullptr);
    HWND h = hwnd();
    if (slideTimerId_ != (UINT)-1) KillTimer(h, kTimerSlides);
    slideTimerId_ = (UINT)-1;
    KillTimer(h, kTimerHide);
    KillTimer(h, kTimerPictureDeadline);
    KillTimer(h, kTimerRollback);
    loop_.removeFilter(this);
    return 0;
}

LRESULT CMainDlg::onPaint(UINT, WPARAM, LPARAM, bool&) {
    HWND h = hwnd();
    PAINTSTRUCT ps;
    HDC paintDc = BeginPaint(h, &ps);
    RECT client;
    GetClientRect(h, &client);
    const int W = client.right - client.left, H = client.bottom - client.top;
    if (paintDc && W > 0 && H > 0) {
        // Every frame is drawn whole off screen, from opaque black, and copied once.
        BITMAPINFO bi = {};
        bi.bmiHeader.biSize = sizeof bi.bmiHeader;
        bi.bmiHeader.biWidth = W;
        bi.bmiHeader.biHeight = -H;
        bi.bmiHeader.biPlanes = 1;
        bi.bmiHeader.biBitCount = 32;
        bi.bmiHeader.biCompression = BI_RGB;
        void* bits = nullptr;
        ScopedGdiObject<HBITMAP> frame(CreateDIBSection(paintDc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0));
        ScopedMemoryDc memoryDc(CreateCompatibleDC(paintDc));
        const HDC dc = memoryDc.get();
        if (frame && dc && bits) {
            DWORD* px = static_cast<DWORD*>(bits);
            for (int i = 0; i < W * H; ++i) px[i] = 0xFF000000;
            HGDIOBJ oldFrame = SelectObject(dc, frame.get());
            SetBkMode(dc, TRANSPARENT);

            HBITMAP slide = images_[slideIndex_].get();
            int bw = 0, bh = 0;
            if (bitmapSize(slide, bw, bh)) {
                ScopedMemoryDc source(CreateCompatibleDC(dc));
                const HDC src = source.get();
                HGDIOBJ old = SelectObject(src, slide);
                // The picture's own height, stretched to the window's: a source
                // rectangle that leaves the bitmap draws nothing.
                blend(dc, 0, 0, 10, H, src, 0, 0, 10, bh);
                blend(dc, 10, 0, W - 20, H, src, 10, 0, bw - 20, bh);
                blend(dc, W - 10, 0, 10, H, src, bw - 10, 0, 10, bh);
                SelectObject(src, old);
            }
            closeButton_.draw(dc);
            if (contentShown_ == 1) drawContent(dc, client);

            ScopedGdiObject<HPEN> pen(CreatePen(PS_SOLID, 1, kFrameColour));
            HGDIOBJ oldPen = SelectObject(dc, pen.get());
            HGDIOBJ oldBrush = SelectObject(dc, GetStockObject(NULL_BRUSH));
            Rectangle(dc, client.left, client.top, client.right, client.bottom);
            SelectObject(dc, oldBrush);
            SelectObject(dc, oldPen);
            pen.reset();

            BitBlt(paintDc, 0, 0, W, H, dc, 0, 0, SRCCOPY);
            SelectObject(dc, oldFrame);
        }
    }
    EndPaint(h, &ps);
    return 0;
}

void CMainDlg::drawContent(HDC dc, const RECT& R) {
    const int L = hasChannelIcon_ ? 100 : 20;
    if (stage_ == 0 && error_ != 0) redownloadButton_.draw(dc);

    HGDIOBJ oldFont = SelectObject(dc, font_.get());
    SetTextColor(dc, kStatusColour);
    RECT text = {R.left + L, R.bottom - 85, R.right, R.bottom + 65};
    DrawTextW(dc, statusText_.c_str(), (int)statusText_.size(), &text, DT_SINGLELINE | DT_END_ELLIPSIS);
    SelectObject(dc, oldFont);

    int w = 0, h = 0;
    if (hasChannelIcon_ && bitmapSize(images_[3].get(), w, h)) {
        ScopedMemoryDc source(CreateCompatibleDC(dc));
        const HDC src = source.get();
        HGDIOBJ old = SelectObject(src, images_[3].get());
        blend(dc, 10, R.bottom - 95, 80, 80, src, 0, 0, w, h);
        SelectObject(src, old);
    }

    const RECT P = {R.left + L, R.bottom - 55, R.right - 20, R.bottom - 40};
    progressRect_ = P;
    int iw = 0, ih = 0;
    if (bitmapSize(progressImage_.get(), iw, ih)) {
        ScopedMemoryDc source(CreateCompatibleDC(dc));
        const HDC src = source.get();
        HGDIOBJ old = SelectObject(src, progressImage_.get());
        const int pw = P.right - P.left, ph = P.bottom - P.top;
        blend(dc, P.left, P.top, 10, ph, src, 0, 9, 10, 15);
        blend(dc, P.left + 10, P.top, pw - 20, ph, src, 10, 9, iw - 20, 15);
        blend(dc, P.right - 10, P.top, 10, ph, src, iw - 10, 9, 10, 15);
        const RECT F = {P.left + 3, P.top + 3, P.right - 3, P.bottom - 3};
        const int fill = (F.right - F.left) * percent_ / 100;
        blend(dc, F.left, F.top, fill, F.bottom - F.top, src, 3, 0, 1, 9);
        SelectObject(src, old);
    }
}

LRESULT CMainDlg::onTimer(UINT, WPARAM wParam, LPARAM, bool&) {
    HWND h = hwnd();
    switch (wParam) {
    case kTimerSlides:
        slideIndex_ = slideIndex_ >= 2 ? 0 : slideIndex_ + 1;
        redrawAll();
        break;
    case kTimerPictureDeadline:
        KillTimer(h, kTimerPictureDeadline);
        if (picsState_ != 1) {
            logPrintf("dialog: pictures late");
            picsState_ = 1;
            startRun(inputs_.runAction);
        }
        break;
    case kTimerRollback:
        if (!installer_.isBusy()) {
            KillTimer(h, kTimerRollback);
            rollbackPending_ = false;
            startRun(ActionRemove);
        }
        break;
    default:
        KillTimer(h, (UINT_PTR)wParam);
        hideToTray();
        break;
    }
    return 0;
}

LRESULT CMainDlg::onSize(UINT, WPARAM, LPARAM, bool&) {
    RECT R;
    GetClientRect(hwnd(), &R);
    const int w = R.right - R.left;
    closeButton_.setRect(RECT{R.right - 29, R.top, R.right, R.top + 24});
    const int left = R.left + (w - 208) / 2;
    tryNowButton_.setRect(RECT{left, R.bottom - 70, left + 208, R.bottom - 30});
    const RECT shared = {R.right - 101, R.bottom - 85, R.right - 20, R.bottom - 60};
    installButton_.setRect(shared);
    redownloadButton_.setRect(shared);
    return 0;
}

// Whoever shows the window (the tray, the rollback, a second loader bringing
// it forward) makes a hidden run one the user has seen.
LRESULT CMainDlg::onWindowPosChanged(UINT, WPARAM, LPARAM lParam, bool& handled) {
    const WINDOWPOS* pos = reinterpret_cast<const WINDOWPOS*>(lParam);
    if (pos && (pos->flags & SWP_SHOWWINDOW)) everShown_ = true;
    handled = false;
    return 0;
}

LRESULT CMainDlg::onLButtonDown(UINT, WPARAM, LPARAM lParam, bool& handled) {
    POINT pt = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    CMButton* buttons[4] = {&closeButton_, &tryNowButton_, &installButton_, &redownloadButton_};
    bool inButton = false;
    for (CMButton* b : buttons) {
        RECT r = b->getRect();
        if (PtInRect(&r, pt)) inButton = true;
    }
    for (CMButton* b : buttons) b->onLButtonDown(pt);
    if (!inButton && hwnd()) SendMessageW(hwnd(), WM_NCLBUTTONDOWN, HTCAPTION, lParam);
    handled = false;
    return 0;
}

LRESULT CMainDlg::onLButtonUp(UINT, WPARAM, LPARAM lParam, bool& handled) {
    POINT pt = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    closeButton_.onLButtonUp(pt);
    tryNowButton_.onLButtonUp(pt);
    installButton_.onLButtonUp(pt);
    redownloadButton_.onLButtonUp(pt);
    handled = false;
    return 0;
}

LRESULT CMainDlg::onMouseMove(UINT, WPARAM, LPARAM lParam, bool& handled) {
    POINT pt = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    closeButton_.onMouseMove(pt);
    tryNowButton_.onMouseMove(pt);
    installButton_.onMouseMove(pt);
    redownloadButton_.onMouseMove(pt);
    if (mouseTracking_ == 0) {
        TRACKMOUSEEVENT tme = {};
        tme.cbSize = sizeof tme;
        tme.dwFlags = TME_LEAVE;
        tme.hwndTrack = hwnd();
        if (TrackMouseEvent(&tme)) mouseTracking_ = 1;
    }
    handled = false;
    return 0;
}

LRESULT CMainDlg::onMouseLeave(UINT, WPARAM, LPARAM, bool&) {
    closeButton_.onMouseLeave();
    tryNowButton_.onMouseLeave();
    installButton_.onMouseLeave();
    redownloadButton_.onMouseLeave();
    mouseTracking_ = 0;
    return 0;
}

void CMainDlg::postInstallProgress(int stage, int state, int error, float percent, const std::wstring&,
                                   const std::wstring& message) {
    HWND target = postTarget_.load();
    if (!target) return;
    InstallProgress* record = new InstallProgress{stage, state, error, percent, message};
    if (!PostMessageW(target, kMsgInstallProgress, (WPARAM)record, 0)) delete record;
}

LRESULT CMainDlg::onInstallProgress(UINT, WPARAM wParam, LPARAM, bool&) {
    InstallProgress* record = reinterpret_cast<InstallProgress*>(wParam);
    if (!record) return 0;
    const InstallProgress r = *record;
    delete record;
    if (closed_) return 0;

    stage_ = r.stage;
    error_ = r.error;
    // Truncated and clamped; NaN and out-of-range values never reach the int.
    float p = r.percent;
    percent_ = !(p > 0.0f) ? 0 : p >= 100.0f ? 100 : (int)p;
    if (loggedStage_ != r.stage || loggedState_ != r.state || loggedError_ != r.error) {
        loggedStage_ = r.stage;
        loggedState_ = r.state;
        loggedError_ = r.error;
        logPrintf("dialog: progress stage %d state %d error %d", r.stage, r.state, r.error);
    }

    bool finished = false, failed = false;
    if (r.stage >= 1 && r.stage <= 4) {
        statusText_ = r.text;
        if (r.state == 0) {
            startSlideTimer();
        } else if (r.state == 2) {
            finished = true;
            failed = r.error != 0;
        }
    } else if (r.stage == 0) {
        if (r.state == 0) {
            startSlideTimer();
        } else if (r.state == 1) {
            wchar_t text[128];
            _snwprintf(text, sizeof text / sizeof text[0], L"正在下载塔沃模拟器: %d %%", percent_);
            text[127] = 0;
            statusText_ = text;
        } else if (r.state == 2 && r.error != 0) {
            statusText_ = L"下载失败，请检查网络后重新下载！";
            finished = true;
            failed = true;
        }
    }

    if (!finished) {
        redrawStatus();
        return 0;
    }
    // The final look shows before the box opens or the window goes.
    redrawStatus();
    if (boxOpen_) return 0;  // the open box's answer decides
    if (failed && rollbackPending_) return 0;  // the rollback already answers the failure
    removeTrayIcon();
    if (failed && r.stage != ActionRemove && !g_silent) {
        if (inputs_.hiddenRun && !everShown_) {
            logPrintf("dialog: no failure box in a hidden run");
            closeDialog(0);
            return 0;
        }
        openFailureBox();
        return 0;
    }
    closeDialog(0);
    return 0;
}

void CMainDlg::openFailureBox() {
    boxOpen_ = true;
    logPrintf("dialog: failure box");
    int answer = MessageBoxW(hwnd(), kFailureText, kFailureTitle, MB_OKCANCEL | MB_ICONWARNING);
    boxOpen_ = false;
    logPrintf("dialog: failure box answer %d", answer);
    if (closed_) return;
    if (answer == IDOK) {
        g_openLink(inputs_.supportLink);
        closeDialog(0);
        return;
    }
    // Rollback by removal once the failed run has ended; the UI thread never waits.
    logPrintf("dialog: rollback started");
    rollbackPending_ = true;
    ShowWindow(hwnd(), SW_SHOW);
    SetTimer(hwnd(), kTimerRollback, dialogTimings().rollbackPollMs, nullptr);
}

LRESULT CMainDlg::onInstallPicsReady(UINT, WPARAM, LPARAM, bool&) {
    HWND h = hwnd();
    KillTimer(h, kTimerPictureDeadline);
    // The thread wrote these before it posted 2025.
    const std::vector<std::wstring> pics = job_->pics;
    const std::wstring iconPath = job_->iconPath;
    const UINT defaults[3] = {IDP_SLIDE1, IDP_SLIDE2, IDP_SLIDE3};
    if (!pics.empty()) {
        int taken = 0;
        for (int i = 0; i < 3; ++i) {
            HBITMAP b = i < (int)pics.size() ? loadCheckedPicture(pics[i], 20) : nullptr;
            images_[i].reset(b ? b : loadPng(defaults[i]));
            taken += b ? 1 : 0;
        }
        logPrintf("dialog: pictures %d/3 slides, icon %d", taken, 0);
        redrawAll();
    } else {
        for (int i = 0; i < 3; ++i) {
            images_[i].reset(loadPng(defaults[i]));
        }
        HBITMAP icon = iconPath.empty() || !fileExists(iconPath) ? nullptr : loadCheckedPicture(iconPath, 1);
        if (icon) {
            hasChannelIcon_ = 1;
            images_[3].reset(icon);
        }
        logPrintf("dialog: pictures %d/3 slides, icon %d", 0, icon ? 1 : 0);
        RECT R;
        GetClientRect(h, &R);
        RECT area = {R.left, R.bottom - 100, R.right - 10, R.bottom - 10};
        RedrawWindow(h, &area, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
        if (icon) redrawAll();
    }
    if (picsState_ != 1) {
        picsState_ = 1;
        startRun(inputs_.runAction);
    }
    return 0;
}

HBITMAP CMainDlg::loadCheckedPicture(const std::wstring& path, int minWidth) const {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return nullptr;
    if (data.nFileSizeHigh != 0 || data.nFileSizeLow > kMaxPictureFileBytes) return nullptr;
    ScopedGdiObject<HBITMAP> b(loadImage(path.c_str(), nullptr));
    int w = 0, h = 0;
    if (!bitmapSize(b.get(), w, h) || w < minWidth || w > 4096 || h < 1 || h > 4096) return nullptr;
    return b.release();
}

void CMainDlg::startRun(InstallAction action) {
    installer_.setAction(action);
    logPrintf("dialog: installer started (action %d)", (int)action);
    installer_.start();
}

void CMainDlg::startSlideTimer() {
    HWND h = hwnd();
    if (slideTimerId_ != (UINT)-1) KillTimer(h, kTimerSlides);
    slideTimerId_ = (UINT)SetTimer(h, kTimerSlides, dialogTimings().slideMs, nullptr) ? kTimerSlides : (UINT)-1;
    contentShown_ = 1;
}

void CMainDlg::redrawAll() { RedrawWindow(hwnd(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW); }

void CMainDlg::redrawStatus() {
    RECT R;
    GetClientRect(hwnd(), &R);
    RECT area = {R.left + (hasChannelIcon_ ? 100 : 20), R.bottom - 100, R.right - 10, R.bottom - 10};
    RedrawWindow(hwnd(), &area, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
}

void CMainDlg::closeDialog(int code) {
    if (closed_) return;
    closed_ = true;
    removeTrayIcon();
    logPrintf("dialog: closed");
    destroy();
    PostQuitMessage(code);
}

void CMainDlg::removeTrayIcon() {
    if (g_trayIconAdded) tray_.remove();
    g_trayIconAdded = false;
}

bool CMainDlg::addTrayIcon(bool force) {
    if (force) g_trayIconAdded = false;
    if (g_trayIconAdded) return true;
    HICON icon = (HICON)LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_LOADER), IMAGE_ICON,
                                   GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR | LR_SHARED);
    if (!trayMenu_) trayMenu_ = LoadMenuW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_TRAYMENU));
    bool ok = tray_.add(hwnd(), kMsgTrayNotify, icon, trayTip_);
    if (ok) g_trayIconAdded = true;
    return ok;
}

bool CMainDlg::showTrayBalloon(const std::wstring& text, const std::wstring& title, DWORD infoFlags, UINT timeout) {
    if (commandLineHas(L"silent")) return false;
    return tray_.balloon(text, title, infoFlags, timeout);
}

void CMainDlg::hideToTray() {
    SetLastError(0);
    if (!addTrayIcon(false)) {
        logPrintf("dialog: tray icon failed: %lu", (unsigned long)GetLastError());
        return;
    }
    ShowWindow(hwnd(), SW_HIDE);
    logPrintf("dialog: hidden to tray");
    showTrayBalloon(trayTip_, std::wstring(), NIIF_INFO, 200);
}

void CMainDlg::showFromTray() {
    ShowWindow(hwnd(), SW_SHOW);
    logPrintf("dialog: shown");
}

LRESULT CMainDlg::onTrayNotify(UINT, WPARAM, LPARAM lParam, bool&) {
    if (lParam == WM_LBUTTONDOWN) {
        showFromTray();
    } else if (lParam == WM_RBUTTONDOWN && trayMenu_ && IsMenu(trayMenu_)) {
        HMENU popup = GetSubMenu(trayMenu_, 0);
        if (!popup) return 0;
        logPrintf("dialog: tray menu");
        SetMenuDefaultItem(popup, 0, TRUE);
        HWND h = hwnd();
        SetForegroundWindow(h);
        POINT pt;
        GetCursorPos(&pt);
        TrackPopupMenu(popup, 0, pt.x, pt.y, 0, h, nullptr);
        PostMessageW(h, WM_NULL, 0, 0);
    }
    return 0;
}

LRESULT CMainDlg::onTaskbarCreated(UINT, WPARAM, LPARAM, bool&) {
    tray_.remove();
    g_trayIconAdded = false;
    addTrayIcon(true);
    return 0;
}

LRESULT CMainDlg::onCloseButton(UINT, WPARAM, LPARAM, bool&) {
    hideToTray();
    return 0;
}

LRESULT CMainDlg::onMinimize(UINT, WPARAM, LPARAM, bool&) {
    ShowWindow(hwnd(), SW_SHOWMINIMIZED);
    return 0;
}

LRESULT CMainDlg::onTryNowButton(UINT, WPARAM, LPARAM, bool&) {
    HWND h = hwnd();
    if (slideTimerId_ != (UINT)-1) KillTimer(h, kTimerSlides);
    slideTimerId_ = SetTimer(h, kTimerSlides, dialogTimings().slideMs, nullptr) ? kTimerSlides : (UINT)-1;
    contentShown_ = 1;
    redrawAll();
    return 0;
}

LRESULT CMainDlg::onInstallButton(UINT, WPARAM, LPARAM, bool&) { return 0; }

LRESULT CMainDlg::onRedownloadButton(UINT, WPARAM, LPARAM, bool&) {
    // Only after a download failure, with no box, no rollback and no run under way.
    if (!(stage_ == 0 && error_ != 0) || boxOpen_ || rollbackPending_ || installer_.isBusy()) {
        logPrintf("dialog: redownload refused");
        return 0;
    }
    stage_ = -1;
    error_ = 0;
    percent_ = 0;
    statusText_ = initialStatus();
    logPrintf("dialog: redownload started");
    redrawAll();
    startRun(inputs_.runAction);
    return 0;
}

LRESULT CMainDlg::onTrayCommand(UINT, WPARAM wParam, LPARAM, bool&) {
    if (LOWORD(wParam) == ID_TRAY_SHOW) {
        showFromTray();
        return 0;
    }
    logPrintf("dialog: exit from tray");
    removeTrayIcon();
    if (g_loaderMutex.get()) g_loaderMutex->unmarkWindow();
    installer_.cancel();
    closeDialog(0);
    return 0;
}
