#include "toolkit/path.h"

#include <gtest/gtest.h>

#include <string>

using ravel::file::Path;

namespace {

struct SplitCase {
    const wchar_t* input;
    const wchar_t* fullPath;
    const wchar_t* drive;
    const wchar_t* directory;
    const wchar_t* baseName;
    const wchar_t* extension;
    const wchar_t* fileName;
    size_t components;
};

const SplitCase kSplitCases[] = {
    {L"C:\\dir\\", L"C:\\dir", L"C:", L"C:", L"dir", L"", L"dir", 2},
    {L"C:\\dir\\file.tar.gz", L"C:\\dir\\file.tar.gz", L"C:", L"C:\\dir", L"file.tar", L"gz",
     L"file.tar.gz", 3},
    {L"name", L"name", L"", L"", L"name", L"", L"name", 1},
    {L".gitignore", L".gitignore", L"", L"", L"", L"gitignore", L".gitignore", 1},
    {L"file.", L"file.", L"", L"", L"file", L"", L"file", 1},
    {L"\\\\srv\\share\\x", L"\\\\srv\\share\\x", L"", L"\\\\srv\\share", L"x", L"", L"x", 3},
    // "/" ends the folder part in the split, but only "\" separates components.
    {L"C:/a/b.txt", L"C:/a/b.txt", L"C:", L"C:/a/", L"b", L"txt", L"b.txt", 1},
    {L"C:\\", L"C:", L"C:", L"C:", L"", L"", L"", 1},
    {L"C:\\\\\\", L"C:", L"C:", L"C:", L"", L"", L"", 1},
    {L"", L"", L"", L"", L"", L"", L"", 0},
};

}  // namespace

TEST(PathTest, SplitsEveryAssignmentIntoItsParts) {
    for (const SplitCase& c : kSplitCases) {
        SCOPED_TRACE(testing::Message() << "input: " << testing::PrintToString(std::wstring(c.input)));
        Path p(c.input);
        EXPECT_EQ(p.toString(), c.fullPath);
        EXPECT_EQ(static_cast<std::wstring>(p), c.fullPath);
        EXPECT_EQ(p.getDrive(), c.drive);
        EXPECT_EQ(p.getDirectory(), c.directory);
        EXPECT_EQ(p.getBaseName(), c.baseName);
        EXPECT_EQ(p.getExtension(), c.extension);
        EXPECT_EQ(p.getFileName(), c.fileName);
        EXPECT_EQ(p.componentCount(), c.components);
    }
}

TEST(PathTest, LongFolderPartKeepsDriveAndDirectory) {
    const std::wstring folder = L"C:\\" + std::wstring(300, L'a');
    Path p(folder + L"\\file.txt");
    EXPECT_EQ(p.getDrive(), L"C:");
    EXPECT_EQ(p.getDirectory(), folder);
    EXPECT_EQ(p.getBaseName(), L"file");
    EXPECT_EQ(p.getExtension(), L"txt");

    EXPECT_EQ((p - 1).toString(), folder);
    EXPECT_EQ((p - 2).toString(), L"C:");
    EXPECT_EQ((p - 50).toString(), L"C:");
    // A join after moving up stays on the same folder, never at "\name".
    EXPECT_EQ(((p - 1) / L"x").toString(), folder + L"\\x");

    const std::wstring longName(400, L'n');
    Path q(L"C:\\d\\" + longName + L".ext");
    EXPECT_EQ(q.getDirectory(), L"C:\\d");
    EXPECT_EQ(q.getBaseName(), longName);
    EXPECT_EQ(q.getExtension(), L"ext");
}

TEST(PathTest, JoinAndAppend) {
    EXPECT_EQ((Path(L"C:\\a") / L"\\\\b").toString(), L"C:\\a\\b");
    EXPECT_EQ((Path(L"C:\\a") / std::wstring(L"b\\c.txt")).getExtension(), L"txt");
    EXPECT_EQ((Path() / L"b").toString(), L"\\b");
    EXPECT_EQ((Path(L"C:\\a\\") / L"b").toString(), L"C:\\a\\b");

    Path appended = Path(L"C:\\a\\x") + L".lnk";
    EXPECT_EQ(appended.toString(), L"C:\\a\\x.lnk");
    EXPECT_EQ(appended.getExtension(), L"lnk");
    EXPECT_EQ(appended.getBaseName(), L"x");

    Path p(L"C:\\a");
    p /= L"b";
    p += std::wstring(L".url");
    EXPECT_EQ(p.toString(), L"C:\\a\\b.url");
    EXPECT_EQ(p.getDirectory(), L"C:\\a");
    EXPECT_EQ(p.getExtension(), L"url");
}

TEST(PathTest, MovesUpAtMostComponentCountLevels) {
    const wchar_t* expected[] = {L"C:\\a\\b\\c.txt", L"C:\\a\\b", L"C:\\a", L"C:",
                                 L"C:",           L"C:",      L"C:"};
    const Path start(L"C:\\a\\b\\c.txt");
    for (int n = 0; n <= 6; ++n) {
        SCOPED_TRACE(n);
        EXPECT_EQ((start - n).toString(), expected[n]);
        Path moved(start);
        moved -= n;
        EXPECT_EQ(moved.toString(), expected[n]);
    }
    EXPECT_EQ(start.toString(), L"C:\\a\\b\\c.txt");  // operator- leaves the source alone
    EXPECT_EQ((Path(L"relative\\x") - 5).toString(), L"");
}

TEST(PathTest, BothDecrementsReturnTheMovedPath) {
    Path p(L"C:\\a\\b\\c.txt");
    EXPECT_EQ((--p).toString(), L"C:\\a\\b");
    EXPECT_EQ((p--).toString(), L"C:\\a");
    EXPECT_EQ(p.toString(), L"C:\\a");
    EXPECT_EQ(p.getBaseName(), L"a");
}

TEST(PathTest, CopyAndAssignmentSplitAgain) {
    Path source(L"C:\\x\\y.txt");
    Path copy(source);
    EXPECT_EQ(copy.getDirectory(), L"C:\\x");
    EXPECT_EQ(copy.getExtension(), L"txt");

    Path assigned;
    assigned = source;
    EXPECT_EQ(assigned.getFileName(), L"y.txt");
    assigned = std::wstring(L"D:\\q\\r.dat\\");
    EXPECT_EQ(assigned.toString(), L"D:\\q\\r.dat");
    EXPECT_EQ(assigned.getDrive(), L"D:");
    EXPECT_EQ(assigned.getExtension(), L"dat");
    assigned = L"E:\\z";
    EXPECT_EQ(assigned.getDirectory(), L"E:");
    EXPECT_EQ(source.toString(), L"C:\\x\\y.txt");
}

TEST(PathTest, Canonicalize) {
    Path p(L"C:\\a\\..\\b");
    EXPECT_TRUE(p.canonicalize());
    EXPECT_EQ(p.toString(), L"C:\\b");
    EXPECT_EQ(p.getDirectory(), L"C:");

    Path dots(L"C:\\a\\.\\b\\..\\c.txt");
    EXPECT_TRUE(dots.canonicalize());
    EXPECT_EQ(dots.toString(), L"C:\\a\\c.txt");

    Path trailingDot(L"C:\\dev\\..\\player\\.");
    EXPECT_TRUE(trailingDot.canonicalize());
    EXPECT_EQ(trailingDot.toString(), L"C:\\player");
    EXPECT_EQ(trailingDot.getBaseName(), L"player");

    Path unc(L"\\\\srv\\share\\x\\..\\y");
    EXPECT_TRUE(unc.canonicalize());
    EXPECT_EQ(unc.toString(), L"\\\\srv\\share\\x\\..\\y");

    // The shell would cut this silently; it must stay as it is.
    const std::wstring longPath = L"C:\\" + std::wstring(150, L'a') + L"\\..\\" +
                                  std::wstring(120, L'b');
    ASSERT_GE(longPath.size(), 270u);
    Path tooLong(longPath);
    EXPECT_FALSE(tooLong.canonicalize());
    EXPECT_EQ(tooLong.toString(), longPath);
}

TEST(PathTest, Combine) {
    Path relative(L"..\\x");
    EXPECT_TRUE(relative.combine(L"C:\\p\\bin"));
    EXPECT_EQ(relative.toString(), L"C:\\p\\x");
    EXPECT_EQ(relative.getDirectory(), L"C:\\p");

    Path here(L".");
    EXPECT_TRUE(here.combine(L"C:\\p\\bin"));
    EXPECT_EQ(here.toString(), L"C:\\p\\bin");

    Path absolute(L"D:\\abs\\f.txt");
    EXPECT_TRUE(absolute.combine(L"C:\\p"));
    EXPECT_EQ(absolute.toString(), L"D:\\abs\\f.txt");

    const std::wstring longPath = L"C:\\" + std::wstring(300, L'a');
    Path tooLong(longPath);
    EXPECT_FALSE(tooLong.combine(L"C:\\p"));
    EXPECT_EQ(tooLong.toString(), longPath);

    // Each text fits, the combination does not.
    Path tooDeep(std::wstring(100, L's'));
    const std::wstring before = tooDeep.toString();
    EXPECT_FALSE(tooDeep.combine(L"C:\\" + std::wstring(200, L'r')));
    EXPECT_EQ(tooDeep.toString(), before);
}
