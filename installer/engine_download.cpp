#include "installer/engine_download.h"
#include "installer/vbox_manager.h"

#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "installer/channel_config.h"
#include "installer/downloader.h"
#include "installer/installer.h"
#include "services/http_stat.h"
#include "services/ini_file.h"
#include "services/install_paths.h"
#include "services/loader_env.h"
#include "services/log.h"
#include "services/machine_id.h"
#include "services/system_checks.h"
#include "services/web_hosts.h"
#include "toolkit/file_util.h"
#include "toolkit/scoped_handle.h"
#include "toolkit/string_util.h"
#include "toolkit/zip_extract.h"

#ifdef TARVO_TEST_SEAMS
#include "installer/seams.h"
#endif

namespace v2 {

namespace {

const uint32_t kLibraryResource = 211;

#ifdef TARVO_TEST_SEAMS
std::mutex& osFactsLock() {
    static std::mutex* m = new std::mutex();
    return *m;
}
std::function<OsFacts()>& osFactsOverride() {
    static std::function<OsFacts()>* f = new std::function<OsFacts()>();
    return *f;
}
#endif

OsFacts osFacts() {
#ifdef TARVO_TEST_SEAMS
    std::function<OsFacts()> f;
    {
        std::lock_guard<std::mutex> guard(osFactsLock());
        f = osFactsOverride();
    }
    if (f) return f();
#endif
    return realOsFacts();
}

bool samePath(const std::wstring& a, const std::wstring& b) { return toLowerCopy(a) == toLowerCopy(b); }

// One queued file: where the operation expects it and what the batch made of it.
struct Queued {
    size_t task;  // index in the Downloader
    std::wstring expected;
};

struct EngineWords {
    const wchar_t* word;     // task folder
    const wchar_t* section;  // download ini
};

EngineWords wordsOf(int32_t engine) {
    return engine == EngineVBox ? EngineWords{L"vbox", L"vbox_download"} : EngineWords{L"qv", L"qv_download"};
}

std::string ansi(const std::wstring& text) { return wideToAnsi(text); }

// Removes what earlier versions of this channel and engine left in the download folder.
void removeOldTaskFolders(const std::wstring& cno, const std::wstring& word, const std::wstring& keep) {
    const std::wstring folder = getDownloadFolder();
    if (folder.empty()) return;
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW fd;
    {
        ScopedFindHandle h(FindFirstFileW((folder + L"\\*").c_str(), &fd));
        if (!h) return;
        do {
            if (isOldTaskFolderName(fd.cFileName, cno, word)) names.push_back(fd.cFileName);
        } while (FindNextFileW(h.get(), &fd));
    }
    for (const std::wstring& name : names) {
        const std::wstring path = folder + L"\\" + name;
        if (samePath(path, keep)) continue;
        logPrintf("remove old download folder: %s", ansi(path).c_str());
        deletePath(path, false).ignore();
    }
}

}  // namespace

OsFacts realOsFacts() {
    OsFacts facts;
    OSVERSIONINFOEXW info = {};
    info.dwOSVersionInfoSize = sizeof info;
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    if (GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info))) {
        facts.versionKnown = true;
        facts.major = info.dwMajorVersion;
    }
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
    typedef BOOL(WINAPI * IsWow64ProcessFn)(HANDLE, PBOOL);
    HMODULE kernel = GetModuleHandleW(L"kernel32");
    IsWow64ProcessFn isWow64 =
        kernel ? reinterpret_cast<IsWow64ProcessFn>(reinterpret_cast<void*>(GetProcAddress(kernel, "IsWow64Process")))
               : nullptr;
    BOOL wow64 = FALSE;
    if (isWow64 && isWow64(GetCurrentProcess(), &wow64)) facts.wow64 = wow64 != FALSE;
    return facts;
}

#ifdef TARVO_TEST_SEAMS
void setOsFactsForTests(const std::function<OsFacts()>& facts) {
    std::lock_guard<std::mutex> guard(osFactsLock());
    osFactsOverride() = facts;
}
#endif

std::wstring downloadFileName(const std::wstring& url) {
    std::wstring path = url.substr(0, url.find_first_of(L"?#"));
    const size_t slash = path.rfind(L'/');
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

bool isOldTaskFolderName(const std::wstring& name, const std::wstring& cno, const std::wstring& engineWord) {
    const std::wstring prefix = cno + L"_" + engineWord + L"_";
    // An empty tail is the folder of a variant without a version.
    if (name.size() < prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return false;
    for (size_t i = prefix.size(); i < name.size(); ++i)
        if (!((name[i] >= L'0' && name[i] <= L'9') || name[i] == L'.')) return false;
    return true;
}

bool isZipWithItems(const std::wstring& path) {
    std::unique_ptr<ravel::zip::ArchiveReader> reader = ravel::zip::makeMinizipReader();
    if (!reader->open(path)) return false;
    ravel::zip::ArchiveItem item;
    bool listed = reader->count() >= 1 && reader->item(0, item);
    reader->close();
    return listed;
}

int runEngineDownload(InstallerImpl& impl, int32_t engine) {
    const bool vbox = engine == EngineVBox;
    const EngineWords words = wordsOf(engine);
    InstallProgressEvent& progress = impl.progressEvent();

    logPrintf("start downlaod...");
    progress(0, 0, 0, 0.0f, std::wstring(), std::wstring());

    // Every exception of the run, its need test included, ends in the failure event.
    try {
        std::wstring installed = vbox ? getPlayerVersion() : getQvPlayerVersion();
        if (installed.empty()) installed = L"0.0.0.0";
        const std::wstring cno = getCno(GetCommandLineW());
        const IniFile ini(getDownloadIniPath(cno));

        ChannelConfig& config = ChannelConfig::instance();
        const DownloadVariant variant = selectDownloadVariant(config);
        bool needPackage = true;
        // A VBox engine whose set-up failed has its player in place: only a ready
        // engine counts as installed, so that the package is fetched again.
        if (compareVersions(installed, variant.version) >= 0 &&
            (vbox ? isPlayerInstalled() && tarvo::vboxmgr::VBoxManager::getInstance()->isEngineReady()
                  : isQvInstalled()))
            needPackage = false;

        AppInfo app;
        const bool needApp = config.findApp(config.apkId, app) && !app.apkUrl.empty();

        if (!needPackage && !needApp) {
            progress(0, 2, 0, 100.0f, std::wstring(), std::wstring());
            return 2;
        }

        const std::wstring taskFolder = getDownloadTaskFolder(cno, variant.version, words.word);
        if (taskFolder.empty()) {
            logPrintf("no data folder");
            progress(0, 2, -1, 0.0f, std::wstring(), L"下载失败!");
            return -1;
        }
        deletePath(taskFolder, false).ignore();
        createDirectories(taskFolder).ignore();

        logPrintf("start download...");
        std::unique_ptr<Downloader> downloader(new Downloader(kLibraryResource, getUserDataFolder()));
        downloader->totalProgress().bind(&impl, &InstallerImpl::onDownloadProgress);

        auto queue = [&](const std::wstring& key, const std::wstring& url, const std::wstring& name) {
            downloader->addTask(key, url, taskFolder, name);
            return Queued{downloader->taskCount() - 1, taskFolder + L"\\" + name};
        };

        if (variant.url.empty()) {
            logPrintf("rom address is empty, channel:%s", ansi(config.getCno()).c_str());
            // Each engine tests itself: a VBox machine has no Qv engine to find.
            if (!(vbox ? isPlayerInstalled() : isQvInstalled())) {
                logPrintf("rom address is empty and qv not install,channel:%s", ansi(config.getCno()).c_str());
                throw std::runtime_error("rom address is empty and qv not install!");
            }
        }

        std::unique_ptr<Queued> package, dotnet, apk, icon, hall;
        if (needPackage && !variant.url.empty()) {
            package.reset(new Queued(queue(std::wstring(), variant.url, downloadFileName(variant.url))));
            const std::wstring ssse3 = hasSSSE3() ? L"1" : L"0";
            if (vbox)
                sendStatAction(StatAction::VboxDownloadRom, {ssse3, getCpuVendor()});
            else
                sendStatAction(StatAction::DownloadRom, {ssse3, getCpuVendor(), variant.url});
            logPrintf("add task: %s", ansi(variant.url).c_str());
        }

        bool xp = false;
        if (!vbox) {
            const OsFacts os = osFacts();
            std::wstring dotnetUrl;
            if (os.versionKnown && os.major <= 5) {
                dotnetUrl = webHostAddress(WebHost::Cdn) +
                            (os.wow64 ? L"/150706/9db4f0c16b2d28da161f4083e45e33aa/NetFx20SP1_ia64.exe"
                                      : L"/150706/c61111d7d62306b997ce7dd04898b1ca/NetFx20SP1_x86.exe");
                xp = true;
            }
            if (!isDotNetInstalled() && !dotnetUrl.empty()) {
                dotnet.reset(new Queued(queue(L"dotnet", dotnetUrl, downloadFileName(dotnetUrl))));
                logPrintf("dotnet need install");
            }
        }

        const std::wstring iconPath = taskFolder + L"\\" + app.id + L"_icon.png";
        if (needApp) {
            apk.reset(new Queued(queue(std::wstring(), app.apkUrl, app.apkFileName)));
            logPrintf("add task: %s", ansi(app.apkUrl).c_str());
            if (!app.iconUrl.empty()) icon.reset(new Queued(queue(std::wstring(), app.iconUrl, app.id + L"_icon.png")));
        }
        if (!config.hallUrl.empty()) hall.reset(new Queued(queue(L"tarvohall", config.hallUrl, L"TarvoHall.exe")));

        logPrintf("***start download");
        if (downloader->taskCount() > 0) {
            downloader->start();
            while (downloader->isRunning()) {
                downloader->wait(100);
                if (impl.getOwner() && impl.getOwner()->cancelRequested()) downloader->requestStop();
            }
        }

        if (downloader->finishedCount() != downloader->taskCount()) {
            logPrintf("download have failed! install ch:%s-apk ch:%s", ansi(config.getCno()).c_str(),
                      ansi(config.apkChannel).c_str());
            throw std::runtime_error("download have failed!");
        }

        auto savedPath = [&](const Queued& q) {
            std::wstring saved = downloader->taskAt(q.task).savedName();
            return saved.empty() ? q.expected : saved;
        };

        // A cut-off body without a length, or an error page sent with 200,
        // arrives as a finished task: the archives must at least open.
        for (const Queued* q : {package.get(), apk.get()}) {
            if (!q) continue;
            const std::wstring path = savedPath(*q);
            if (!isZipWithItems(path)) {
                logPrintf("downloaded file is not a zip archive: %s", ansi(path).c_str());
                deletePath(path, false).ignore();
                throw std::runtime_error("download have failed!");
            }
        }

        if (!vbox) {
            for (const Queued* q : {package.get(), dotnet.get(), apk.get(), icon.get(), hall.get()}) {
                if (!q) continue;
                const std::wstring saved = savedPath(*q);
                if (!samePath(saved, q->expected) && !pathExists(q->expected)) {
                    copyPath(saved, q->expected).ignore();
                    deletePath(saved, false).ignore();
                }
            }
            // Only a fetched hall program replaces the installed one.
            if (hall) {
                forceDeletePath(getUserDataFolder() + L"\\TarvoHall.exe").ignore();
                copyPath(taskFolder + L"\\TarvoHall.exe", getHallExePath()).ignore();
            }
        } else if (icon) {
            const std::wstring saved = savedPath(*icon);
            if (!samePath(saved, iconPath)) movePath(saved, iconPath).ignore();
        }

        std::wstring mainPkg;
        if (package) mainPkg = vbox ? savedPath(*package) : package->expected;
        if (vbox) {
            sendStatAction(StatAction::VboxDownloadOk);
            if (package) sendStatAction(StatAction::VboxRomDownloadOk, {mainPkg});
            if (needApp) {
                const UrlParams keys = {{L"m", getMid2()}, {L"m2", getMid()}, {L"cno", cno}};
                for (MarketPing ping : {MarketPing::PeerfetchUrl, MarketPing::MobiPage, MarketPing::CdnStat})
                    sendStat(buildMarketPingUrl(ping, config.apkId, keys));
            }
        } else {
            sendStatAction(StatAction::QvDownloadOk);
            if (package) sendStatAction(StatAction::QvRomDownloadOk, {mainPkg});
        }

        // Written afresh, in UTF-16, with every key of this run: nothing of an
        // earlier run may be taken for this run's files.
        if (!ini.startUtf16File()) logPrintf("download ini could not be renewed: %s", ansi(ini.path).c_str());
        std::wstring hallPath;
        if (hall) hallPath = vbox ? savedPath(*hall) : hall->expected;
        ini.setString(words.section, L"main_pkg", mainPkg);
        ini.setString(words.section, L"hall_exe", hallPath);
        if (!vbox && !isDotNetInstalled()) {
            ini.setString(words.section, L"dotnet_exe", dotnet ? dotnet->expected : std::wstring());
            ini.setString(words.section, L"xp", xp ? L"1" : L"0");
        }
        ini.setIntA("download", "pkg_count", 0);
        if (needApp) {
            ini.setIntA("download", "pkg_count", 1);
            const std::string section = formatA("%s_%d", ansi(cno).c_str(), 1);
            const std::wstring wideSection = ansiToWide(section);
            // The paths go in wide: the user's profile folder may hold any character.
            ini.setString(wideSection, L"file", vbox ? savedPath(*apk) : apk->expected);
            if (!vbox || icon) ini.setString(wideSection, L"icon", iconPath);
            if (!vbox) ini.setString(wideSection, L"tips", taskFolder + L"\\" + app.id + L"_tips.png");
        }

        if (package) removeOldTaskFolders(cno, words.word, taskFolder);

        logPrintf("download ok!");
        progress(0, 2, 0, 100.0f, std::wstring(), L"下载ok!");
        return 0;
    } catch (const std::exception& e) {
        logPrintf("download exception: %s", e.what());
    } catch (...) {
        logPrintf("download exception");
    }
    progress(0, 2, -1, 0.0f, std::wstring(), L"下载失败!");
    return -1;
}

}  // namespace v2
