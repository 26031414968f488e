// The client against Debian's adb server (a peer nobody here wrote), through a version
// shim, with a transport-level fake device behind it (testing/fake_adb/adb_conformance.py).
#include <gtest/gtest.h>

#include <string>

#include "installer/adb/adb_client.h"
#include "installer/adb/adb_sync.h"
#include "testing/fake_adb/fake_adb_fixture.h"
#include "testing/support/test_support.h"

namespace {

TEST(AdbConformance, DebianAdbServerWithFakeDevice) {
    if (!fakeadb::linuxFileExists("/usr/bin/adb"))
        GTEST_SKIP() << "Debian's adb is not installed (/usr/bin/adb): conformance check skipped";
    fakeadb::FakeAdb harness(Json::Value(), 0, "adb_conformance.py");
    ASSERT_TRUE(harness.ok()) << "Debian's adb server or the fake device did not come up";
    auto device = harness.eventsOf("device");
    ASSERT_EQ(1u, device.size());
    const std::string serial = "127.0.0.1:" + std::to_string(device[0]["port"].asInt());

    struct PortGuard {
        int saved = adb::settings().defaultServerPort;
        ~PortGuard() { adb::settings().defaultServerPort = saved; }
    } guard;
    adb::settings().defaultServerPort = harness.port();

    adb::AdbClient shell(serial.c_str());
    std::string output;
    EXPECT_EQ(0, shell.query("shell:echo hi", output)) << shell.error;
    EXPECT_EQ("hi\n", output);

    adb::AdbClient lister(serial.c_str());
    bool found = false;
    EXPECT_EQ(0, adb::listFindsDot(lister, "/sdcard", found)) << lister.error;
    EXPECT_TRUE(found);

    tst::TempDir dir(L"adbconf");
    std::string bytes;
    for (int i = 0; i < 70000; ++i) bytes += (char)(i * 7);
    ASSERT_TRUE(tst::writeFile(dir.file(L"conf.apk"), bytes));
    adb::AdbClient pusher(serial.c_str());
    EXPECT_EQ(0, adb::push(pusher, dir.file(L"conf.apk"), "/sdcard")) << pusher.error;
    ASSERT_TRUE(harness.waitFor([&] { return !harness.eventsOf("stored").empty(); }));
    auto stored = harness.eventsOf("stored");
    EXPECT_EQ("/sdcard/conf.apk", stored[0]["path"].asString());
    EXPECT_TRUE(harness.stored(stored[0]) == bytes);
}

}  // namespace
