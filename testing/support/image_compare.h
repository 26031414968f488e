// Pictures of windows for the dialog's tests: capture, PNG files, comparison
// against reference images.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tst {

// 32-bit pixels 0xAARRGGBB, rows top-down.
struct Image {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;
    uint32_t at(int x, int y) const { return pixels[(size_t)y * width + x]; }
};

// The window's client area from its own device context (what it painted, even
// under another window). Empty on failure.
Image captureClient(HWND window);
// That part of the screen as it shows, other windows, menus and balloons included.
Image captureScreen(const RECT& area);

bool readPng(const std::wstring& path, Image& out);
bool writePng(const std::wstring& path, const Image& image);

// A pixel differs when a colour channel differs by more than 4. The images match
// when they have one size, no pixel inside a strict rectangle differs, and at most
// `looseBudget` pixels differ elsewhere.
struct Comparison {
    bool sameSize = false;
    int strictDiffs = 0;
    int looseDiffs = 0;
    Image diff;  // differing pixels red, others dimmed
    bool matches(int looseBudget = 64) const { return sameSize && strictDiffs == 0 && looseDiffs <= looseBudget; }
};
Comparison compareImages(const Image& actual, const Image& expected, const std::vector<RECT>& strict);

// Compares a capture with testing/dialog_refs/<name>.png. With TARVO_UPDATE_REFERENCES=1
// it writes the capture there instead. A mismatch writes the actual and diff images to
// `scratchFolder` and says where; a missing reference names the update script.
// Empty when the capture matches.
std::string checkReference(const std::string& name, const Image& actual, const std::vector<RECT>& strict,
                           const std::wstring& scratchFolder);

}  // namespace tst
