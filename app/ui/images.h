#pragma once

// Pictures of the dialog and its buttons: loaded from the program's resources
// or from files, each checked before it is decoded.

#include <windows.h>

#include <string>

// Product limits of a picture: at most 8 MiB of bytes, and a PNG of at most
// 2048 x 2048 pixels. Pictures come from plain-HTTP addresses of the channel
// documents, so every one is checked before the decoder sees it.
constexpr UINT kPictureMaxDimension = 2048;
constexpr DWORD kPictureMaxBytes = 8u * 1024u * 1024u;

// A bitmap of the picture: IS_INTRESOURCE(picture) names a resource of the
// program, anything else a file path (which must hold a PNG). `type` is the
// resource type ("png", searched then under "PNG", "JPG" and "WEBP"), or
// null / RT_BITMAP for a bitmap resource. The result is a 32-bpp top-down DIB
// section with pre-multiplied alpha, owned by the caller; null on any failure
// (logged). Call on the user-interface thread.
HBITMAP loadImage(LPCWSTR picture, LPCWSTR type, UINT maxDimension = kPictureMaxDimension,
                  DWORD maxBytes = kPictureMaxBytes);

// True when loadImage(path, ...) would give a bitmap. Makes no GDI object and
// keeps no state: any thread may call it.
bool isLoadablePicture(const std::wstring& path, UINT maxDimension = kPictureMaxDimension,
                       DWORD maxBytes = kPictureMaxBytes);
