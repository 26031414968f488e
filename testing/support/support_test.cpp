// Checks of the test platform itself: what every other test relies on.
#include <gtest/gtest.h>
#include <shlobj.h>
#include "testing/support/test_support.h"

TEST(TestPlatform, NarrowLiteralsAreGbk) {
    // "塔沃" in code page 936.
    const char text[] = "塔沃";
    ASSERT_EQ(sizeof(text), 5u);
    EXPECT_EQ((unsigned char)text[0], 0xCB);
    EXPECT_EQ((unsigned char)text[1], 0xFE);
    EXPECT_EQ((unsigned char)text[2], 0xCE);
    EXPECT_EQ((unsigned char)text[3], 0xD6);
    EXPECT_EQ(GetACP(), 936u);
}

TEST(TestPlatform, HostRootIsNotAFixedDrive) {
    EXPECT_EQ(GetDriveTypeW(L"Z:\\"), (UINT)DRIVE_REMOTE);
    EXPECT_EQ(GetDriveTypeW(L"C:\\"), (UINT)DRIVE_FIXED);
}

TEST(TestPlatform, DesktopIsInsideThePrefix) {
    wchar_t desk[MAX_PATH];
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, 0, desk), S_OK);
    std::string unix = tst::unixPath(desk);
    EXPECT_NE(unix.find("/wine/prefix/"), std::string::npos) << unix;
    DWORD attrs = GetFileAttributesW(desk);
    EXPECT_FALSE(attrs & FILE_ATTRIBUTE_REPARSE_POINT);
}

TEST(TestPlatform, TempDirIsCreatedAndRemoved) {
    std::wstring p;
    {
        tst::TempDir d;
        p = d.path();
        ASSERT_TRUE(tst::writeFile(d.file(L"a.txt"), "x"));
        CreateDirectoryW(d.file(L"sub").c_str(), nullptr);
        ASSERT_TRUE(tst::writeFile(d.file(L"sub\\b.txt"), "y"));
    }
    EXPECT_FALSE(tst::fileExists(p));
}

TEST(TestPlatform, LinuxServerStartsAndStops) {
    tst::LinuxProcess server;
    ASSERT_TRUE(server.start({"/usr/bin/python3", "-c",
        "import socket,os\n"
        "s=socket.socket(); s.bind(('127.0.0.1',0)); s.listen(1)\n"
        "open(os.environ['TARVO_READY_FILE'],'w').write('%d\\n' % s.getsockname()[1])\n"
        "c,_=s.accept(); c.sendall(b'hello'); c.close()\n"}));
    ASSERT_GT(server.port(), 0);
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons((u_short)server.port());
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(s, (sockaddr*)&a, sizeof a), 0);
    char buf[16] = {};
    int got = recv(s, buf, sizeof buf, 0);
    EXPECT_EQ(std::string(buf, got > 0 ? got : 0), "hello");
    closesocket(s);
    WSACleanup();
}

TEST(TestPlatform, DebugOutputIsCaptured) {
    tst::DebugOutputCapture cap;
    OutputDebugStringW(L"platform check\n");
    EXPECT_TRUE(cap.contains("platform check\n"));
}

TEST(TestPlatform, NonAsciiFileNamesWork) {
    tst::TempDir d;
    std::wstring name = d.file(L"\u5854\u6c83\u52a9\u624b");
    ASSERT_TRUE(CreateDirectoryW(name.c_str(), nullptr)) << GetLastError();
    EXPECT_TRUE(tst::writeFile(name + L"\\\u6587\u4ef6.txt", "x"));
    EXPECT_TRUE(tst::fileExists(name + L"\\\u6587\u4ef6.txt"));
}
