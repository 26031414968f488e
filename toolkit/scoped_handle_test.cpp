// Owners of Windows resources: what is closed when, and what never is.
#include <gtest/gtest.h>

#include "toolkit/scoped_handle.h"

#include <string>

namespace {

bool handleIsOpen(HANDLE h) {
    DWORD flags = 0;
    return GetHandleInformation(h, &flags) != 0;
}

HANDLE newEvent() { return CreateEventW(nullptr, TRUE, FALSE, nullptr); }

// A stand-in for a COM object released by hand.
struct Counted : IUnknown {
    int refs = 1;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
};

}  // namespace

TEST(ScopedHandle, ClosesOnceOnEveryWayOut) {
    HANDLE raw = newEvent();
    ASSERT_NE(raw, nullptr);
    { ScopedHandle h(raw); EXPECT_TRUE(h.valid()); }
    EXPECT_FALSE(handleIsOpen(raw)) << "closed at the end of its scope";

    // Moved: the new owner closes it, the old one holds nothing.
    raw = newEvent();
    ScopedHandle moved;
    {
        ScopedHandle first(raw);
        moved = std::move(first);
        EXPECT_FALSE(first.valid());
    }
    EXPECT_TRUE(handleIsOpen(raw));
    moved.reset();
    EXPECT_FALSE(handleIsOpen(raw));

    // Reset to another value closes the old one only.
    HANDLE a = newEvent(), b = newEvent();
    {
        ScopedHandle h(a);
        h.reset(b);
        EXPECT_FALSE(handleIsOpen(a));
        EXPECT_TRUE(handleIsOpen(b));
        h.reset(b);  // the same value again is no close
        EXPECT_TRUE(handleIsOpen(b));
    }
    EXPECT_FALSE(handleIsOpen(b));

    // Released: the caller owns it again.
    raw = newEvent();
    { ScopedHandle h(raw); EXPECT_EQ(h.release(), raw); }
    EXPECT_TRUE(handleIsOpen(raw));
    CloseHandle(raw);
}

TEST(ScopedHandle, EmptyValuesAreNeverClosed) {
    // A failed CreateFile gives INVALID_HANDLE_VALUE, which is also the
    // pseudo handle of the current process: closing it must not happen.
    {
        ScopedHandle h(INVALID_HANDLE_VALUE);
        EXPECT_FALSE(h.valid());
        EXPECT_FALSE(static_cast<bool>(h));
    }
    { ScopedHandle h(nullptr); EXPECT_FALSE(h.valid()); }
    { ScopedFindHandle f; EXPECT_EQ(f.get(), INVALID_HANDLE_VALUE); }
    EXPECT_TRUE(handleIsOpen(GetCurrentProcess()));
}

TEST(ScopedHandle, OutParameterSlotClosesWhatWasHeld) {
    HANDLE before = newEvent();
    ScopedHandle token(before);
    // Checked before the slot is filled: the new handle may reuse the old value.
    HANDLE* slot = token.receive();
    EXPECT_FALSE(handleIsOpen(before));
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, slot));
    EXPECT_TRUE(token.valid());

    ScopedRegKey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, key.receive()), ERROR_SUCCESS);
    EXPECT_TRUE(key.valid());
    HKEY raw = key.get();
    key.reset();
    DWORD subkeys = 0;
    EXPECT_NE(RegQueryInfoKeyW(raw, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS)
        << "the key was closed";
}

TEST(ScopedHandle, EachKindUsesItsOwnCloser) {
    wchar_t sys[MAX_PATH];
    ASSERT_GT(GetSystemDirectoryW(sys, MAX_PATH), 0u);
    WIN32_FIND_DATAW data;
    ScopedFindHandle find(FindFirstFileW((std::wstring(sys) + L"\\*").c_str(), &data));
    ASSERT_TRUE(find.valid());
    EXPECT_TRUE(FindNextFileW(find.get(), &data));
    HANDLE rawFind = find.get();
    find.reset();
    EXPECT_FALSE(FindNextFileW(rawFind, &data));

    ScopedServiceHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    EXPECT_TRUE(scm.valid());

    HDC screen = GetDC(nullptr);
    ScopedMemoryDc dc(CreateCompatibleDC(screen));
    ReleaseDC(nullptr, screen);
    ASSERT_TRUE(dc.valid());
    ScopedGdiObject<HBITMAP> bitmap(CreateCompatibleBitmap(dc.get(), 4, 4));
    ASSERT_TRUE(bitmap.valid());
    HBITMAP rawBitmap = bitmap.get();
    bitmap.reset();
    BITMAP info;
    EXPECT_EQ(GetObjectW(rawBitmap, sizeof info, &info), 0) << "the bitmap was deleted";

    Counted object;
    object.AddRef();
    { ScopedComPtr<IUnknown> p(&object); }
    EXPECT_EQ(object.refs, 1) << "released exactly once";
}
