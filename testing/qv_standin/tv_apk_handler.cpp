// Stand-in of TV-ApkHandler.exe: <apk> [-h]. Reads the APK's manifest and writes
// the gadget icon tvData\UserData\Gadget\<package>.<short activity>.png of its
// folder. Modes: fail (no gadget, exit 1), no-gadget ("Success", no gadget).
#include "testing/qv_standin/apk_reader.h"
#include "testing/qv_standin/standin.h"

namespace {

// A 1x1 PNG for APKs without a launcher icon.
const unsigned char kPixel[] = {
    0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44, 0x52, 0x00, 0x00,
    0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00, 0x00, 0x1f, 0x15, 0xc4, 0x89, 0x00, 0x00, 0x00,
    0x0d, 0x49, 0x44, 0x41, 0x54, 0x78, 0x9c, 0x63, 0x50, 0x68, 0xf8, 0xff, 0x1f, 0x00, 0x04, 0x03, 0x02, 0x3f,
    0x6d, 0x9a, 0x0b, 0x1c, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};

bool writeFile(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    qvs::Start s = qvs::begin();
    const std::vector<std::wstring>& a = s.args;
    const char* usage = "usage: TV-ApkHandler.exe <apk> [-h]";
    if (a.empty() || a.size() > 2 || a[0].empty() || (a.size() == 2 && a[1] != L"-h")) qvs::badArgs(usage);
    const bool hidden = a.size() == 2;
    qvs::applyModes(s, s.program);
    if (s.mode == L"fail") {
        qvs::print("Failure [INSTALL_FAILED_INTERNAL_ERROR]\n");
        qvs::record(L"apk-failed", a[0]);
        qvs::finish(1);
    }
    qvs::ApkInfo apk;
    std::string reason;
    if (!qvs::readApk(a[0], apk, reason)) {
        qvs::print("Failure [INSTALL_PARSE_FAILED_NOT_APK]\n");
        qvs::record(L"apk-rejected", qvs::widen(reason));
        qvs::finish(1);
    }
    const std::wstring shortName = qvs::shortActivityName(apk.manifest.package, apk.manifest.launcher);
    if (s.mode != L"no-gadget") {
        const std::wstring folder = qvs::ownFolder() + L"tvData\\UserData\\Gadget\\";
        CreateDirectoryW((qvs::ownFolder() + L"tvData").c_str(), nullptr);
        CreateDirectoryW((qvs::ownFolder() + L"tvData\\UserData").c_str(), nullptr);
        CreateDirectoryW(folder.c_str(), nullptr);
        const std::string icon = apk.icon.empty() ? std::string((const char*)kPixel, sizeof(kPixel)) : apk.icon;
        writeFile(folder + apk.manifest.package + L"." + shortName + L".png", icon);
    }
    qvs::record(L"apk-installed", apk.manifest.package + L" " + shortName + (hidden ? L" 1" : L" 0"));
    qvs::print("Success\n");
    qvs::finish(0);
}
