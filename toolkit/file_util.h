#pragma once

#include <windows.h>
#include <shellapi.h>

#include <cstdint>
#include <string>

#include "toolkit/error_code.h"
#include "toolkit/scoped_handle.h"

// File and folder operations of the toolkit. Paths of 260 characters or more
// are refused (false), never truncated.
//
// Deletion guard: the shell expands wildcards and callers build names from
// downloaded documents, so deletePath, deletePathA, forceDeletePath,
// forceDeletePathExcept, and movePath / copyPath for their source, log and
// return false without touching anything for a refused path (see
// isRefusedPath).

bool pathExists(const std::wstring& path);
bool pathExistsA(const std::string& path);
bool isDirectory(const std::wstring& path);
bool isRelative(const std::wstring& path);
// Size in bytes of a file named by a narrow (ANSI) path; 0 when unreadable.
uint64_t fileSizeA(const std::string& path);

// True for a path that no delete, move or copy source may name: empty;
// containing a wildcard ("*", "?") or another character that is invalid in
// names; a "." or ".." component; a bare drive ("C:"); a drive root ("C:\");
// "\" or "/" alone; a UNC server or share root ("\\srv", "\\srv\share"); a
// path that is relative ("x", "C:x") or rooted on the current drive ("\x").
bool isRefusedPath(const std::wstring& path);

// The one way to SHFileOperationW in the program: applies the guard to `from`,
// builds double-null terminated pFrom/pTo buffers sized from the texts (pTo
// null when `to` is empty) and runs the operation without a window. Returns
// SHFileOperationW's result (0 on success), or -1 when a path is refused or
// has 260 characters or more, or when FO_DELETE would meet a junction or
// symbolic link (the shell follows links and deletes what they point to).
int shellFileOperation(UINT func, const std::wstring& from, const std::wstring& to,
                       FILEOP_FLAGS flags);

// Shell delete (to the recycle bin with allowUndo); when the shell fails, the
// forced deletion below. A missing file counts as deleted. A folder that
// holds a junction or symbolic link skips the shell.
ravel::object::ErrorCode deletePath(const std::wstring& path, bool allowUndo = false);
ravel::object::ErrorCode deletePathA(const std::string& path, bool allowUndo = false);
// Deletes a file, or a folder with everything in it, without the shell. A file
// that cannot be deleted is renamed to "<folder>~<name>" beside its folder and
// scheduled for deletion at the next restart. Links (reparse points) are
// removed themselves and never followed. False while anything remains.
ravel::object::ErrorCode forceDeletePath(const std::wstring& path);
// As forceDeletePath, but the entries directly inside the folder whose names
// stand in keepList (";"-separated, compared lower-cased) are left in place;
// the folder then remains and the result is false.
ravel::object::ErrorCode forceDeletePathExcept(const std::wstring& path,
                                               const std::wstring& keepList);
// Deletes what stands at path itself: a file or a link (never followed; a
// real folder is left); with clearReadOnly a file's read-only attribute is
// cleared first. True when nothing is left at path. For names in folders that
// other programs can write, before a file is created there with CREATE_NEW.
bool removeEntry(const std::wstring& path, bool clearReadOnly);
// A file held open for reading with no write or delete sharing, taken only
// when its bytes equal what the caller expects: while it is held nobody can
// change, replace or delete it, so what is loaded from it is what was checked.
class PinnedFile {
public:
    PinnedFile() = default;
    ~PinnedFile() { release(); }
    PinnedFile(const PinnedFile&) = delete;
    PinnedFile& operator=(const PinnedFile&) = delete;
    // False (and nothing held) when path cannot be opened so, is not a plain
    // file, or its bytes differ from expected.
    bool pinIfEqual(const std::wstring& path, const std::string& expected);
    void release();

private:
    ScopedHandle handle_;
};
// Shell move and copy; no fallback.
ravel::object::ErrorCode movePath(const std::wstring& from, const std::wstring& to,
                                  bool renameOnCollision = false);
ravel::object::ErrorCode copyPath(const std::wstring& from, const std::wstring& to,
                                  bool renameOnCollision = false);
// Creates the folder and every missing parent. A file in the way: false with
// GetLastError() == ERROR_FILE_EXISTS.
ravel::object::ErrorCode createDirectories(const std::wstring& path);
