#include "installer/vbox_manager.h"

#include <gtest/gtest.h>

#include <shlobj.h>

#include <algorithm>
#include <functional>
#include <map>

#include "services/http_stat.h"
#include "services/loader_env.h"
#include "testing/support/test_support.h"
#include "testing/support/vbox_host.h"
#include "tinyxml.h"
#include "toolkit/child_process.h"
#include "toolkit/string_util.h"

using tarvo::vboxmgr::VBoxHost;
using tarvo::vboxmgr::VBoxManager;
using tarvo::vboxmgr::VBoxNotify;
using tarvo::vboxmgr::VBoxOsVersion;
using tarvo::vboxmgr::VBoxRunResult;

namespace {

const char kTrustedItems[] =
    "<ExtraDataItem name=\"VBoxInternal/Devices/tvc288/0/Trusted\" value=\"1\" />"
    "<ExtraDataItem name=\"VBoxInternal/Devices/tvc288/1/Trusted\" value=\"1\" />";

// A settings file in VirtualBox's shape. extra == nullptr: no ExtraData;
// system == nullptr: no SystemProperties.
std::string settingsXml(const char* extra, const char* system, const std::string& machines = "") {
    std::string xml = "<?xml version=\"1.0\"?>\n<!-- header comment -->\n"
                      "<VirtualBox xmlns=\"http://www.virtualbox.org/\" version=\"1.12-windows\"><Global>";
    if (extra) xml += std::string("<ExtraData>") + extra + "</ExtraData>";
    xml += "<MachineRegistry>" + machines + "</MachineRegistry><MediaRegistry />";
    if (system) xml += std::string("<SystemProperties ") + system + " />";
    xml += "</Global></VirtualBox>\n";
    return xml;
}

std::string entry(const char* uuid, const std::string& src) {
    return std::string("<MachineEntry uuid=\"") + uuid + "\" src=\"" + src + "\" />";
}

// Machine uuids of a settings file, in file order.
std::vector<std::string> machineUuids(const std::wstring& file) {
    std::string bytes;
    std::vector<std::string> out;
    if (!tst::readFile(file, bytes)) return out;
    TiXmlDocument doc;
    doc.Parse(bytes.c_str());
    if (doc.Error()) return out;
    TiXmlHandle h(&doc);
    for (TiXmlElement* e = h.FirstChild("VirtualBox").FirstChild("Global").FirstChild("MachineRegistry")
                               .FirstChild("MachineEntry").ToElement();
         e; e = e->NextSiblingElement("MachineEntry")) {
        out.push_back(e->Attribute("uuid") ? e->Attribute("uuid") : "");
    }
    return out;
}

std::vector<std::string> logLinesSince(size_t offset, const std::string& marker) {
    std::vector<std::string> out;
    for (const std::string& line : tst::logLinesSince(getLogFolder() + L"\\installer_tests.log", offset))
        if (line.find(marker) != std::string::npos) out.push_back(line);
    return out;
}

size_t logSize() {
    std::string bytes;
    tst::readFile(getLogFolder() + L"\\installer_tests.log", bytes);
    return bytes.size();
}

using vboxtest::ran;
using vboxtest::TestHost;

// Answers every engine program as a working VirtualBox would.
VBoxRunResult workingEngine(const std::wstring& cmd) {
    if (cmd.find(L"SUPInstall.exe") != std::wstring::npos) {
        return ran(0, "SUPInstall.exe: info: installed successfully\r\n");
    }
    return ran(0, "");
}

std::string lastStat(const std::string& action) {
    std::deque<std::string> urls = queuedStatUrls();
    for (auto it = urls.rbegin(); it != urls.rend(); ++it) {
        if (it->find("action=" + action + "&") != std::string::npos) return *it;
    }
    return std::string();
}

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

class VBoxManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = tarvo::vboxmgr::vboxToolLimits();
        tarvo::vboxmgr::vboxToolLimits().settingsLockMs = 500;
    }
    void TearDown() override { tarvo::vboxmgr::vboxToolLimits() = saved_; }

    // Writes the settings file, the template and the device module.
    void seedSettings(const std::string& settings, const std::string* templ = nullptr) {
        CreateDirectoryW((host_.userData + L"\\vmconfig").c_str(), nullptr);
        if (!settings.empty()) { ASSERT_TRUE(tst::writeFile(host_.settingsFile(), settings)); }
        CreateDirectoryW((host_.home + L"\\ovas").c_str(), nullptr);
        if (templ) { ASSERT_TRUE(tst::writeFile(host_.home + L"\\ovas\\VirtualBox.xml", *templ)); }
    }

    TestHost host_;
    tarvo::vboxmgr::VBoxToolLimits saved_;
};

// --- init -----------------------------------------------------------------------------

TEST_F(VBoxManagerTest, InitSettlesThePathsAndTheEnvironment) {
    size_t mark = logSize();
    host_.settings[L"tarvo.ova"] = L"other.ova";
    host_.is64 = false;
    VBoxManager m(host_);
    EXPECT_EQ(host_.userData + L"\\vmconfig", m.vbox_user_home);
    EXPECT_TRUE(tst::fileExists(m.vbox_user_home));
    wchar_t env[1024] = {};
    GetEnvironmentVariableW(L"VBOX_USER_HOME", env, 1024);
    EXPECT_EQ(m.vbox_user_home, env);
    EXPECT_EQ(m.vbox_user_home + L"\\VirtualBox.xml", m.global_xml);
    EXPECT_EQ(host_.home + L"\\vbox", m.install_path);
    std::vector<wchar_t> path(65536);
    GetEnvironmentVariableW(L"PATH", path.data(), 65536);
    EXPECT_NE(std::wstring::npos, toLowerCopy(path.data()).find(toLowerCopy(m.install_path)));
    EXPECT_EQ(host_.home + L"\\deployed", m.deployed_path);
    EXPECT_EQ(host_.home + L"\\install\\vbox-x86.zip", m.install_pkg);
    EXPECT_EQ(host_.home + L"\\ovas", m.ova_path);
    EXPECT_EQ(host_.home + L"\\ovas\\other.ova", m.ova_filename);
    EXPECT_EQ(L"other.ova", m.applianceFileName());
    EXPECT_TRUE(m.uninstall_enabled);

    // Other test processes write the same log: only this manager's lines.
    std::vector<std::string> lines;
    for (const std::string& l : logLinesSince(mark, "VBoxManager:: ")) {
        if (l.find(wideToAnsi(host_.file(L""))) != std::string::npos) lines.push_back(l);
    }
    ASSERT_EQ(6u, lines.size());
    const char* const order[] = {"install_path:   ", "vbox_user_home: ", "global_xml:     ",
                                 "install_pkg:    ", "deployed_path:  ", "ova_filename:   "};
    for (size_t i = 0; i < 6; ++i) EXPECT_EQ(0u, lines[i].find(std::string("VBoxManager:: ") + order[i])) << i;
}

TEST_F(VBoxManagerTest, InitTakesTheMachineFolderFromTheFileThenTheSetting) {
    host_.settings[L"vbox_deployed_path_"] = L"D:\\from-setting";
    {
        VBoxManager m(host_);
        EXPECT_EQ(L"D:\\from-setting", m.deployed_path);
        EXPECT_EQ(host_.home + L"\\install\\vbox-x64.zip", m.install_pkg);
        EXPECT_EQ(host_.home + L"\\ovas\\tarvoplayer.ova", m.ova_filename);
    }
    seedSettings(settingsXml("", "defaultMachineFolder=\"E:\\from-file\""));
    VBoxManager m(host_);
    EXPECT_EQ(L"E:\\from-file", m.deployed_path);
}

// --- good and the channel ---------------------------------------------------------------

TEST_F(VBoxManagerTest, GoodChecksTheDeviceModuleTrustAndMachineFolder) {
    // A device module under a folder whose name lies outside the ANSI code page.
    std::wstring odd = host_.file(L"\u0444\u043e\u043b\u0434\u0435\u0440");
    CreateDirectoryW(odd.c_str(), nullptr);
    ASSERT_TRUE(tst::writeFile(odd + L"\\tvc288.dll", "MZ"));
    ASSERT_TRUE(tst::writeFile(host_.file(L"tvc288.dll"), "MZ"));
    const std::string module = tst::narrow(host_.file(L"tvc288.dll"));
    const std::string oddModule = tst::narrow(odd + L"\\tvc288.dll");
    auto path = [](const std::string& p) {
        return "<ExtraDataItem name=\"VBoxInternal/PDM/Devices/tvc288/path\" value=\"" + p + "\" />";
    };
    const std::string folder = "defaultMachineFolder=\"C:\\m\"";
    struct Case {
        const char* name;
        std::string file;  // empty: no file
        const wchar_t* channel;
        int expected;
        const char* logLine;
    } cases[] = {
        {"intact", settingsXml((path(module) + kTrustedItems).c_str(), folder.c_str()), L"pipe", 0, nullptr},
        {"one untrusted",
         settingsXml((path(module) + "<ExtraDataItem name=\"VBoxInternal/Devices/tvc288/0/Trusted\" value=\"0\" />"
                      "<ExtraDataItem name=\"VBoxInternal/Devices/tvc288/1/Trusted\" value=\"1\" />")
                         .c_str(),
                     folder.c_str()),
         L"pipe", -100, nullptr},
        {"untrusted under nat", settingsXml("", folder.c_str()), L"NAT", 0, nullptr},
        {"module missing",
         settingsXml((path(tst::narrow(host_.file(L"gone.dll"))) + kTrustedItems).c_str(), folder.c_str()), L"pipe",
         -100, nullptr},
        {"no file", "", L"pipe", -100, " global xml file not exist, "},
        {"unloadable", "<VirtualBox><Global>", L"pipe", -100, "load global xml failed, "},
        {"empty", " ", L"pipe", -100, "load global xml failed, "},
        {"no ExtraData", settingsXml(nullptr, folder.c_str()), L"pipe", -100,
         "can't find VirtualBox\\Global\\ExtraData"},
        {"no SystemProperties", settingsXml((path(module) + kTrustedItems).c_str(), nullptr), L"pipe", -100,
         "can't get VirtualBox\\Global\\SystemProperties"},
        {"empty folder", settingsXml((path(module) + kTrustedItems).c_str(), "defaultMachineFolder=\"\""), L"pipe",
         -100, "can't get value of VirtualBox\\Global\\SystemProperties\\defaultMachineFolder"},
        {"module outside the code page", settingsXml((path(oddModule) + kTrustedItems).c_str(), folder.c_str()),
         L"pipe", 0, nullptr},
    };
    VBoxManager m(host_);
    for (const Case& c : cases) {
        DeleteFileW(m.global_xml.c_str());
        if (!c.file.empty()) { ASSERT_TRUE(tst::writeFile(m.global_xml, c.file)); }
        host_.settings[L"opengles_channel"] = c.channel;
        size_t mark = logSize();
        EXPECT_EQ(c.expected, m.good()) << c.name;
        if (c.logLine) { EXPECT_FALSE(logLinesSince(mark, c.logLine).empty()) << c.name; }
        EXPECT_FALSE(logLinesSince(mark, "VBoxManager::good: " + std::to_string(c.expected)).empty()) << c.name;
    }
}

TEST_F(VBoxManagerTest, GlChannelFromTheSetting) {
    VBoxManager m(host_);
    EXPECT_EQ(0, m.getGlChannel());
    const std::pair<const wchar_t*, int> cases[] = {
        {L"NAT", 1}, {L"nat", 1}, {L"hostonly", 2}, {L"HostOnly", 2}, {L"pipe", 0}, {L"x", 0}, {L"", 0}};
    for (const auto& c : cases) {
        host_.settings[L"opengles_channel"] = c.first;
        EXPECT_EQ(c.second, m.getGlChannel()) << tst::narrow(c.first);
    }
}

// --- the install with a scripted engine -----------------------------------------------------

class VBoxManagerInstallTest : public VBoxManagerTest {
protected:
    void SetUp() override {
        VBoxManagerTest::SetUp();
        std::string templ = settingsXml(kTrustedItems, "");
        seedSettings("", &templ);
        host_.script = workingEngine;
        // The device module as the package would bring it.
        std::wstring vbox = host_.home + L"\\vbox";
        CreateDirectoryW(vbox.c_str(), nullptr);
        ASSERT_TRUE(tst::writeFile(vbox + L"\\tvc288.dll", "MZ"));
    }
    int install(VBoxManager& m) {
        notes_.clear();
        m.notifier().connect(VBoxManager::Notifier::delegate_type(this, &VBoxManagerInstallTest::onNotify));
        int result = m.install(host_.home + L"\\vbox", L"", host_.home + L"\\deployed");
        m.notifier().disconnect(VBoxManager::Notifier::delegate_type(this, &VBoxManagerInstallTest::onNotify));
        return result;
    }
    void onNotify(VBoxManager*, VBoxManager::NotifyPtr n) { notes_.push_back(*n); }
    std::vector<VBoxNotify> notes_;
};

TEST_F(VBoxManagerInstallTest, WorkingEngineNotifiesEachStepAndRegistersTheDeviceModule) {
    VBoxManager m(host_);
    size_t mark = logSize();
    ASSERT_EQ(0, install(m));
    const float percents[] = {0, 10, 40, 50, 60, 70, 80, 100};
    ASSERT_EQ(8u, notes_.size());
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(1000, notes_[i].kind);
        EXPECT_EQ(percents[i], notes_[i].percent) << i;
        EXPECT_EQ(0, notes_[i].error);
        EXPECT_EQ(0.0f, notes_[i].spare);
        EXPECT_EQ(0u, notes_[i].spareWord);
        EXPECT_EQ(i == 0 ? 0 : i == 7 ? 2 : 1, notes_[i].state) << i;
    }
    EXPECT_EQ(L"准备安装塔沃虚拟机引擎...", notes_[0].message);
    EXPECT_EQ(L"安装塔沃虚拟机引擎驱动...", notes_[3].message);
    EXPECT_EQ(L"安装塔沃虚拟机引擎成功", notes_[7].message);

    const std::wstring vbox = host_.home + L"\\vbox";
    const std::wstring regsvr = L"\"" + host_.systemDirectory() + L"\\regsvr32.exe\"";
    const std::vector<std::wstring> expected = {
        L"\"" + vbox + L"\\VBoxSVC.exe\" /UnregServer",
        L"\"" + vbox + L"\\VBoxSVC.exe\" /RegServer",
        regsvr + L" /s /u \"" + vbox + L"\\VBoxC.dll\"",
        regsvr + L" /s \"" + vbox + L"\\VBoxC.dll\"",
        L"\"" + vbox + L"\\SUPUninstall.exe\"",
        L"\"" + vbox + L"\\SUPInstall.exe\"",
    };
    EXPECT_EQ(expected, host_.commands);
    EXPECT_EQ(std::vector<uint32_t>(6, 120000u), host_.limits);

    std::string bytes;
    ASSERT_TRUE(tst::readFile(m.global_xml, bytes));
    EXPECT_NE(std::string::npos,
              bytes.find("name=\"VBoxInternal/PDM/Devices/tvc288/path\" value=\"" + tst::narrow(vbox) + "\\tvc288.dll\""));
    EXPECT_NE(std::string::npos, bytes.find("defaultMachineFolder=\"" + tst::narrow(host_.home) + "\\deployed\""));
    EXPECT_TRUE(tst::fileExists(host_.home + L"\\deployed"));
    EXPECT_FALSE(logLinesSince(mark, "install vbox 0").empty());
    EXPECT_TRUE(endsWith(lastStat("install_vbox"), "&result=0")) << lastStat("install_vbox");

    // A second install replaces the item's value and adds none.
    ASSERT_EQ(0, install(m));
    ASSERT_TRUE(tst::readFile(m.global_xml, bytes));
    size_t first = bytes.find("VBoxInternal/PDM/Devices/tvc288/path");
    ASSERT_NE(std::string::npos, first);
    EXPECT_EQ(std::string::npos, bytes.find("VBoxInternal/PDM/Devices/tvc288/path", first + 1));
}

TEST_F(VBoxManagerInstallTest, EachFailedStepEndsWithOneFailureNotification) {
    struct Case {
        const char* name;
        std::function<VBoxRunResult(const std::wstring&)> script;
        std::string settings;  // replaces the settings file and the template when set
        int result;
        float percent;
        const char* logLine;
        const wchar_t* lastCommand;  // the last program run
    } cases[] = {
        {"RegServer fails",
         [](const std::wstring& c) {
             return c.find(L"/RegServer") != std::wstring::npos ? ran(1, "") : workingEngine(c);
         },
         "", -101, 50, "注册vboxsvc失败", L"/RegServer"},
        {"VBoxSVC does not start",
         [](const std::wstring& c) {
             VBoxRunResult r = workingEngine(c);
             if (c.find(L"VBoxSVC.exe") != std::wstring::npos) r.started = false;
             return r;
         },
         "", -101, 50, "cmd: ", L"/RegServer"},
        {"client library fails",
         [](const std::wstring& c) {
             return c.find(L" /s \"") != std::wstring::npos ? ran(5, "") : workingEngine(c);
         },
         "", -101, 50, "注册", L"VBoxC.dll"},
        {"driver fails",
         [](const std::wstring& c) {
             return c.find(L"SUPInstall.exe") != std::wstring::npos
                        ? ran(1, "SUPInstall.exe: error: installation failed. rc=VERR_FILE_NOT_FOUND\r\n")
                        : workingEngine(c);
         },
         "", -101, 60, "安装tvdrv驱动失败！", L"SUPInstall.exe"},
        {"driver already existed",
         [](const std::wstring& c) {
             return c.find(L"SUPInstall.exe") != std::wstring::npos
                        ? ran(0, "SUPInstall.exe: info: Service already existed; started successfully.\r\n")
                        : workingEngine(c);
         },
         "", -101, 60, "安装tvdrv驱动失败！", L"SUPInstall.exe"},
        {"registration hangs",
         [](const std::wstring& c) {
             return c.find(L"/RegServer") != std::wstring::npos ? ran(0, "", true) : workingEngine(c);
         },
         "", -101, 50, "cmd timed out after 120000 ms: ", L"/RegServer"},
        {"no ExtraData", workingEngine, settingsXml(nullptr, ""), -102, 70, "can't find VirtualBox\\Global\\ExtraData",
         L"SUPInstall.exe"},
        {"no SystemProperties", workingEngine, settingsXml(kTrustedItems, nullptr), -104, 40, nullptr, nullptr},
        {"garbage without template", workingEngine, std::string("\xff\xfe\x00garbage", 10), -104, 40,
         "can't load file: ", nullptr},
    };
    for (const Case& c : cases) {
        TestHost host;
        host.script = c.script;
        CreateDirectoryW((host.userData + L"\\vmconfig").c_str(), nullptr);
        CreateDirectoryW((host.home + L"\\ovas").c_str(), nullptr);
        CreateDirectoryW((host.home + L"\\vbox").c_str(), nullptr);
        tst::writeFile(host.home + L"\\vbox\\tvc288.dll", "MZ");
        if (c.settings.empty()) {
            tst::writeFile(host.home + L"\\ovas\\VirtualBox.xml", settingsXml(kTrustedItems, ""));
        } else {
            tst::writeFile(host.settingsFile(), c.settings);
            if (c.settings[0] == '<') tst::writeFile(host.home + L"\\ovas\\VirtualBox.xml", c.settings);
        }
        VBoxManager m(host);
        std::vector<VBoxNotify> notes;
        struct Sink {
            std::vector<VBoxNotify>* out;
            void on(VBoxManager*, VBoxManager::NotifyPtr n) { out->push_back(*n); }
        } sink{&notes};
        m.notifier().connect(VBoxManager::Notifier::delegate_type(&sink, &Sink::on));
        size_t mark = logSize();
        EXPECT_EQ(c.result, m.install(host.home + L"\\vbox", L"", host.home + L"\\deployed")) << c.name;
        ASSERT_FALSE(notes.empty());
        EXPECT_EQ(2, notes.back().state) << c.name;
        EXPECT_EQ(-1, notes.back().error) << c.name;
        EXPECT_EQ(c.percent, notes.back().percent) << c.name;
        EXPECT_EQ(L"安装塔沃虚拟机引擎失败", notes.back().message);
        int finals = 0;
        for (const VBoxNotify& n : notes) finals += n.state == 2;
        EXPECT_EQ(1, finals) << c.name;
        if (c.logLine) { EXPECT_FALSE(logLinesSince(mark, c.logLine).empty()) << c.name; }
        EXPECT_FALSE(logLinesSince(mark, "install vbox " + std::to_string(c.result)).empty()) << c.name;
        EXPECT_TRUE(endsWith(lastStat("install_vbox"), "&result=" + std::to_string(c.result))) << c.name;
        if (c.lastCommand) {
            ASSERT_FALSE(host.commands.empty()) << c.name;
            EXPECT_NE(std::wstring::npos, host.commands.back().find(c.lastCommand)) << c.name;
        } else {
            EXPECT_TRUE(host.commands.empty()) << c.name;
        }
    }
}

TEST_F(VBoxManagerInstallTest, StockDriverTextCountsAsInstalled) {
    host_.script = [](const std::wstring& c) {
        return c.find(L"SUPInstall.exe") != std::wstring::npos ? ran(0, "SUPInstall.exe: info: Installed successfully!\r\n")
                                                                : workingEngine(c);
    };
    VBoxManager m(host_);
    EXPECT_EQ(0, install(m));
}

TEST_F(VBoxManagerInstallTest, IntactSetUpIsNotUnpackedOrRestoredAgain) {
    VBoxManager m(host_);
    ASSERT_EQ(0, install(m));
    std::string before;
    ASSERT_TRUE(tst::readFile(m.global_xml, before));
    // A restore copy and a package that would each change the set-up.
    ASSERT_TRUE(tst::writeFile(m.global_xml + L".tv.prev", settingsXml("", "defaultMachineFolder=\"C:\\x\"")));
    CreateDirectoryW((host_.home + L"\\install").c_str(), nullptr);
    ASSERT_TRUE(tst::writeFile(host_.home + L"\\install\\vbox-x64.zip", "not a zip"));
    ASSERT_EQ(0, install(m));
    std::string after;
    ASSERT_TRUE(tst::readFile(m.global_xml, after));
    EXPECT_EQ(before, after);
}

// --- the settings file is never lost ------------------------------------------------------

TEST_F(VBoxManagerTest, TemplateKeepsTheRegisteredMachinesAndBacksUpTheOriginal) {
    std::string templ = settingsXml(kTrustedItems, "");
    const std::string original = settingsXml("", "defaultMachineFolder=\"C:\\m\"", entry("{aaaa}", "A\\A.vbox"));
    seedSettings(original, &templ);
    VBoxManager m(host_);
    ASSERT_EQ(0, m.prepareGlobalXml(m.global_xml));
    EXPECT_EQ(std::vector<std::string>{"{aaaa}"}, machineUuids(m.global_xml));
    std::string bytes;
    ASSERT_TRUE(tst::readFile(m.global_xml, bytes));
    EXPECT_NE(std::string::npos, bytes.find("tvc288/0/Trusted"));
    ASSERT_TRUE(tst::readFile(m.global_xml + L".tv-first.bak", bytes));
    EXPECT_EQ(original, bytes);
    EXPECT_FALSE(tst::fileExists(m.global_xml + L".tv.tmp"));
    EXPECT_FALSE(tst::fileExists(m.vbox_user_home + L"\\vmconfig.tv.lck"));
}

TEST_F(VBoxManagerTest, RestoreAddsTheMachinesThatTheCopyLacks) {
    seedSettings(settingsXml("", "", entry("{aaaa}", "A.vbox") + entry("{cccc}", "C.vbox")));
    VBoxManager m(host_);
    ASSERT_TRUE(tst::writeFile(m.global_xml + L".tv.prev", settingsXml("", "", entry("{bbbb}", "B.vbox"))));
    ASSERT_EQ(0, m.prepareGlobalXml(m.global_xml));
    EXPECT_EQ((std::vector<std::string>{"{bbbb}", "{aaaa}", "{cccc}"}), machineUuids(m.global_xml));
}

TEST_F(VBoxManagerTest, GarbageIsKeptAndTheDeployedMachinesAreRegisteredAgain) {
    std::string templ = settingsXml(kTrustedItems, "");
    const std::string garbage("\x00\xff\r<VirtualBox><Glo", 18);
    seedSettings(garbage, &templ);
    VBoxManager m(host_);
    std::wstring machine = m.deployed_path + L"\\tarvoplayer";
    SHCreateDirectoryExW(nullptr, machine.c_str(), nullptr);
    ASSERT_TRUE(tst::writeFile(machine + L"\\tarvoplayer.vbox",
                               "<?xml version=\"1.0\"?><VirtualBox><Machine uuid=\"{dddd}\" name=\"tarvoplayer\" /></VirtualBox>"));
    ASSERT_EQ(0, m.prepareGlobalXml(m.global_xml));
    std::string bytes;
    ASSERT_TRUE(tst::readFile(m.global_xml + L".tv-first.bak", bytes));
    EXPECT_EQ(garbage, bytes);
    EXPECT_EQ(std::vector<std::string>{"{dddd}"}, machineUuids(m.global_xml));
    ASSERT_TRUE(tst::readFile(m.global_xml, bytes));
    EXPECT_NE(std::string::npos, bytes.find("src=\"" + tst::narrow(machine) + "\\tarvoplayer.vbox\""));
}

// The contents of every timed backup of the settings file.
std::vector<std::string> timedBackups(const std::wstring& settingsFile) {
    std::vector<std::string> out;
    const std::wstring folder = settingsFile.substr(0, settingsFile.find_last_of(L'\\'));
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((settingsFile + L".tv-2*.bak").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return out;
    do {
        std::string b;
        tst::readFile(folder + L"\\" + data.cFileName, b);
        out.push_back(b);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return out;
}

// The user's registered machines may be in a file that does not parse: it is
// backed up whole before it is replaced, also after this install backed up once.
TEST_F(VBoxManagerTest, GarbageMetLaterInTheSameInstallIsBackedUpToo) {
    std::string templ = settingsXml(kTrustedItems, "");
    seedSettings(settingsXml("", "", entry("{aaaa}", "A.vbox")), &templ);
    VBoxManager m(host_);
    ASSERT_EQ(0, m.prepareGlobalXml(m.global_xml));
    ASSERT_EQ(1u, timedBackups(m.global_xml).size());
    const std::string garbage("\xef\xbb\xbf<VirtualBox><Global><MachineRegistry><MachineEntry uuid=\"{bbbb}\"\x00\xff", 69);
    ASSERT_TRUE(tst::writeFile(m.global_xml, garbage));
    ASSERT_EQ(0, m.prepareGlobalXml(m.global_xml));
    const std::vector<std::string> backups = timedBackups(m.global_xml);
    EXPECT_EQ(2u, backups.size());
    EXPECT_EQ(1, std::count(backups.begin(), backups.end(), garbage)) << "byte for byte";
    std::string bytes;
    ASSERT_TRUE(tst::readFile(m.global_xml, bytes));
    EXPECT_NE(garbage, bytes);
}

// A file that cannot be read is not replaced: its machines would be lost.
TEST_F(VBoxManagerTest, AnUnreadableSettingsFileIsLeftAsItIs) {
    std::string templ = settingsXml(kTrustedItems, "");
    const std::string original = settingsXml("", "", entry("{aaaa}", "A.vbox"));
    seedSettings(original, &templ);
    VBoxManager m(host_);
    HANDLE held = CreateFileW(m.global_xml.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    const size_t mark = logSize();
    EXPECT_EQ(-1, m.prepareGlobalXml(m.global_xml));
    CloseHandle(held);
    EXPECT_EQ(std::vector<std::string>{"settings unreadable, left as it is: " + wideToAnsi(m.global_xml)},
              logLinesSince(mark, "settings unreadable"));
    std::string bytes;
    ASSERT_TRUE(tst::readFile(m.global_xml, bytes));
    EXPECT_EQ(original, bytes);
    EXPECT_TRUE(timedBackups(m.global_xml).empty());
    EXPECT_FALSE(tst::fileExists(m.global_xml + L".tv-first.bak"));
    EXPECT_FALSE(tst::fileExists(m.global_xml + L".tv.tmp"));
}

TEST_F(VBoxManagerTest, SixChangingRewritesKeepTheFirstBackupAndFiveTimedOnes) {
    const std::string original = settingsXml("", "", entry("{0000}", "0.vbox"));
    seedSettings(original);
    for (int i = 1; i <= 6; ++i) {
        VBoxManager m(host_);  // one install each
        std::string uuid = "{" + std::to_string(i) + "}";
        ASSERT_TRUE(tst::writeFile(m.global_xml + L".tv.prev", settingsXml("", "", entry(uuid.c_str(), "x.vbox"))));
        ASSERT_EQ(0, m.prepareGlobalXml(m.global_xml));
    }
    std::string bytes;
    ASSERT_TRUE(tst::readFile(host_.settingsFile() + L".tv-first.bak", bytes));
    EXPECT_EQ(original, bytes);
    WIN32_FIND_DATAW data;
    int timed = 0;
    bool newestKept = false;
    HANDLE find = FindFirstFileW((host_.settingsFile() + L".tv-2*.bak").c_str(), &data);
    ASSERT_NE(INVALID_HANDLE_VALUE, find);
    do {
        ++timed;
        std::string b;
        tst::readFile(host_.userData + L"\\vmconfig\\" + data.cFileName, b);
        // The last rewrite's backup holds machines 0 to 5.
        newestKept = newestKept || b.find("{5}") != std::string::npos;
        EXPECT_EQ(std::string::npos, b.find("{1}\" src=\"x.vbox\" />\n        <MachineEntry uuid=\"{0000}")) << "oldest";
    } while (FindNextFileW(find, &data));
    FindClose(find);
    EXPECT_EQ(5, timed);
    EXPECT_TRUE(newestKept);
}

TEST_F(VBoxManagerTest, UnchangedBytesWriteNothing) {
    const std::string same = settingsXml(kTrustedItems, "");
    seedSettings(same, &same);
    VBoxManager m(host_);
    ASSERT_EQ(0, m.prepareGlobalXml(m.global_xml));
    EXPECT_FALSE(tst::fileExists(m.global_xml + L".tv-first.bak"));
}

TEST_F(VBoxManagerTest, BusyLockOrBlockedTemporaryLeavesTheFileAsItWas) {
    std::string templ = settingsXml(kTrustedItems, "");
    const std::string original = settingsXml("", "", entry("{aaaa}", "A.vbox"));
    seedSettings(original, &templ);
    VBoxManager m(host_);
    {
        HANDLE lock = CreateFileW((m.vbox_user_home + L"\\vmconfig.tv.lck").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                  nullptr, OPEN_ALWAYS, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, lock);
        size_t mark = logSize();
        DWORD start = GetTickCount();
        EXPECT_EQ(-1, m.prepareGlobalXml(m.global_xml));
        EXPECT_GE(GetTickCount() - start, 400u);
        EXPECT_FALSE(logLinesSince(mark, "settings file busy: " + wideToAnsi(m.global_xml)).empty());
        CloseHandle(lock);
    }
    std::string bytes;
    ASSERT_TRUE(tst::readFile(m.global_xml, bytes));
    EXPECT_EQ(original, bytes);

    ASSERT_TRUE(CreateDirectoryW((m.global_xml + L".tv.tmp").c_str(), nullptr));
    EXPECT_EQ(-1, m.prepareGlobalXml(m.global_xml));
    ASSERT_TRUE(tst::readFile(m.global_xml, bytes));
    EXPECT_EQ(original, bytes);
    DWORD attributes = GetFileAttributesW((m.global_xml + L".tv.tmp").c_str());
    EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY));
}

TEST_F(VBoxManagerInstallTest, FailedSaveGivesMinus102AndKeepsTheFile) {
    VBoxManager m(host_);
    ASSERT_EQ(0, install(m));  // leaves an intact set-up without a device-module change
    std::string before;
    ASSERT_TRUE(tst::readFile(m.global_xml, before));
    // The next save changes the value, and its temporary path is blocked.
    ASSERT_TRUE(CreateDirectoryW((host_.home + L"\\vbox2").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((m.global_xml + L".tv.tmp").c_str(), nullptr));
    size_t mark = logSize();
    notes_.clear();
    EXPECT_EQ(-102, m.install(host_.home + L"\\vbox2", L"", L""));
    EXPECT_FALSE(logLinesSince(mark, "can't save file: " + wideToAnsi(m.global_xml)).empty());
    std::string after;
    ASSERT_TRUE(tst::readFile(m.global_xml, after));
    EXPECT_EQ(before, after);
}

// --- the appliance import --------------------------------------------------------------------

TEST_F(VBoxManagerTest, ImportRetriesOnceAndRepairsOnlyAfterNoInterface) {
    const std::string success = "0%...100%\r\nSuccessfully imported the appliance.\r\n";
    const std::string noInterface =
        "VBoxManage.exe: error: Code E_NOINTERFACE (0x80004002) - No such interface supported\r\n";
    const std::string failed = "VBoxManage.exe: error: Appliance import failed\r\n";
    struct Case {
        const char* name;
        std::vector<VBoxRunResult> answers;
        int result;
        size_t attempts;
        int repairs;
    } cases[] = {
        {"ok", {ran(0, success)}, 0, 1, 0},
        {"exit 3 with the text", {ran(3, success)}, 0, 1, 0},
        {"no interface twice", {ran(1, noInterface), ran(1, noInterface)}, -103, 2, 1},
        {"no interface once", {ran(1, noInterface), ran(0, success)}, 0, 2, 1},
        {"failed twice", {ran(1, failed), ran(1, failed)}, -103, 2, 0},
        {"garbage", {ran(0, std::string("\x00\xff\r\n", 4)), ran(0, "")}, -103, 2, 0},
        {"hang", {ran(0, "0%...", true)}, -103, 1, 0},
    };
    VBoxManager m(host_);
    const std::wstring ova = host_.file(L"tarvo player.ova");
    for (const Case& c : cases) {
        size_t next = 0;
        host_.commands.clear();
        host_.script = [&](const std::wstring& cmd) {
            if (cmd.find(L"VBoxManage.exe") == std::wstring::npos) return ran(0, "");
            return next < c.answers.size() ? c.answers[next++] : ran(1, "");
        };
        int repairsBefore = VBoxManager::repairCount();
        size_t mark = logSize();
        EXPECT_EQ(c.result, m.importAppliance(ova)) << c.name;
        EXPECT_EQ(c.attempts, next) << c.name;
        EXPECT_EQ(c.repairs, VBoxManager::repairCount() - repairsBefore) << c.name;
        const std::wstring cmd = L"\"" + host_.home + L"\\vbox\\VBoxManage.exe\" import \"" + ova + L"\"";
        EXPECT_EQ(cmd, host_.commands.front()) << c.name;
        EXPECT_EQ(c.attempts, logLinesSince(mark, "cmd: " + wideToAnsi(cmd) + ", result: ").size()) << c.name;
        std::string url = lastStat("import_vm");
        EXPECT_TRUE(endsWith(url, "&result=" + std::to_string(c.result))) << url;
    }
}

TEST_F(VBoxManagerTest, RepairDeletesOnlyEmptyAutomationKeys) {
    const wchar_t* const keys[] = {L"CLSID\\{00020420-0000-0000-C000-000000000046}",
                                   L"CLSID\\{00020424-0000-0000-C000-000000000046}"};
    HKEY k;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(host_.classes, keys[0], 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr));
    RegCloseKey(k);
    std::wstring withSub = std::wstring(keys[1]) + L"\\InprocServer32";
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExW(host_.classes, withSub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr));
    RegCloseKey(k);
    host_.script = [](const std::wstring&) { return ran(0, ""); };
    VBoxManager m(host_);
    int before = VBoxManager::repairCount();
    EXPECT_TRUE(m.repairOleAutomation());
    EXPECT_EQ(before + 1, VBoxManager::repairCount());
    EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExW(host_.classes, keys[0], 0, KEY_READ, &k));
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(host_.classes, keys[1], 0, KEY_READ, &k));
    RegCloseKey(k);
    ASSERT_EQ(1u, host_.commands.size());
    EXPECT_EQ(L"\"" + host_.systemDirectory() + L"\\regsvr32.exe\" /s oleaut32.dll", host_.commands[0]);
    std::string url = lastStat("debug");
    EXPECT_TRUE(endsWith(url, "&dbginfo=E_NOINTERFACE(0x80004002)_" + std::to_string(before + 1) + "_true")) << url;
}

// --- removal ------------------------------------------------------------------------------------

TEST_F(VBoxManagerTest, UninstallUnregistersAndDeletesOnlyWhenEnabled) {
    host_.script = [](const std::wstring&) { return ran(0, ""); };
    const std::wstring vbox = host_.home + L"\\vbox";
    {
        host_.settings[L"vbox_uninstall_enabled"] = L"false";
        VBoxManager m(host_);
        CreateDirectoryW(vbox.c_str(), nullptr);
        m.uninstall(vbox);
        EXPECT_TRUE(host_.commands.empty());
        EXPECT_TRUE(tst::fileExists(vbox));
        EXPECT_TRUE(tst::fileExists(m.vbox_user_home));
    }
    host_.settings.erase(L"vbox_uninstall_enabled");
    VBoxManager m(host_);
    m.uninstall(L"");
    const std::wstring regsvr = L"\"" + host_.systemDirectory() + L"\\regsvr32.exe\"";
    EXPECT_EQ((std::vector<std::wstring>{regsvr + L" /s /u \"" + vbox + L"\\VBoxC.dll\"",
                                         L"\"" + vbox + L"\\VBoxSVC.exe\" /UnregServer",
                                         L"\"" + vbox + L"\\SUPUninstall.exe\""}),
              host_.commands);
    EXPECT_FALSE(tst::fileExists(vbox));
    EXPECT_FALSE(tst::fileExists(m.vbox_user_home));

    // With no engine folder known, the player home's "vbox".
    host_.commands.clear();
    m.install_path.clear();
    m.uninstall(L"");
    ASSERT_FALSE(host_.commands.empty());
    EXPECT_NE(std::wstring::npos, host_.commands.back().find(L"\"" + vbox + L"\\SUPUninstall.exe\""));
}

// --- the compatibility layers ----------------------------------------------------------------------

TEST_F(VBoxManagerTest, CompatLayersFollowTheSystemVersion) {
    tst::MachineStateLock lock;
    const wchar_t kLayers[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Layers";
    HKEY probe;
    bool existed = RegOpenKeyExW(HKEY_CURRENT_USER, kLayers, 0, KEY_READ, &probe) == ERROR_SUCCESS;
    if (existed) RegCloseKey(probe);
    const std::wstring manage = toLowerCopy(host_.home + L"\\vbox\\VBoxManage.exe");
    const std::wstring front = toLowerCopy(host_.home + L"\\vbox\\VirtualBox.exe");
    auto value = [&](const std::wstring& name) {
        wchar_t data[64] = {};
        DWORD size = sizeof(data);
        if (RegGetValueW(HKEY_CURRENT_USER, kLayers, name.c_str(), RRF_RT_REG_SZ, nullptr, data, &size) != ERROR_SUCCESS)
            return std::wstring(L"<none>");
        return std::wstring(data);
    };
    VBoxManager m(host_);
    if (!existed) {
        m.setCompatLayers();
        EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, kLayers, 0, KEY_READ, &probe)) << "key created";
        HKEY k;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, kLayers, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr));
        RegCloseKey(k);
    }
    struct Case {
        DWORD major, minor;
        const wchar_t* layer;
    } cases[] = {{6, 1, L"VISTASP2"}, {5, 2, L"WINXPSP3"}, {5, 1, L"<none>"}, {10, 0, L"VISTASP2"}};
    for (const Case& c : cases) {
        host_.os.major = c.major;
        host_.os.minor = c.minor;
        m.setCompatLayers();
        EXPECT_EQ(c.layer, value(manage)) << c.major << "." << c.minor;
        EXPECT_EQ(c.layer, value(front)) << c.major << "." << c.minor;
    }
    m.removeCompatLayers();
    EXPECT_EQ(L"<none>", value(manage));
    if (!existed) RegDeleteKeyW(HKEY_CURRENT_USER, kLayers);
}

// --- the in-process registration (32-bit Windows) ------------------------------------------------

TEST_F(VBoxManagerTest, InProcessRegistrationGivesTheLoadError) {
    host_.is64 = false;
    VBoxManager m(host_);
    EXPECT_EQ(ERROR_MOD_NOT_FOUND, m.registerComDll(host_.file(L"missing.dll"), true));
    // A library without the entry point: the system's own version library.
    EXPECT_EQ(ERROR_PROC_NOT_FOUND, m.registerComDll(host_.systemDirectory() + L"\\version.dll", true));
    EXPECT_TRUE(host_.commands.empty());
}

}  // namespace
