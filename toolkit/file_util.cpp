#include "toolkit/file_util.h"

#include <windows.h>
#include <shellapi.h>
#include <shlwapi.h>

#include <sys/stat.h>

#include <cstring>
#include <set>
#include <vector>

#include "toolkit/log_sink.h"
#include "toolkit/path.h"
#include "toolkit/string_util.h"

#ifdef TARVO_TEST_SEAMS
#include "toolkit/seams.h"
#endif

using ravel::object::ErrorCode;

namespace {

// The longest path the file operations take (the shell's MAX_PATH - 1).
const size_t kMaxPath = MAX_PATH - 1;

bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool isDriveLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

// Non-empty pieces between separators.
std::vector<std::wstring> components(const std::wstring& text) {
    std::vector<std::wstring> pieces;
    std::wstring current;
    for (wchar_t c : text) {
        if (isSeparator(c)) {
            if (!current.empty()) pieces.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) pieces.push_back(current);
    return pieces;
}

// The file system drops trailing dots and blanks of a name, so "..", ". ." and
// "... " all name the parent or the folder itself.
bool isDotComponent(const std::wstring& piece) {
    return piece.find_first_not_of(L". ") == std::wstring::npos;
}

bool refuse(const std::wstring& path, const char* operation) {
    if (!isRefusedPath(path) && path.size() <= kMaxPath) return false;
    ravel::log::printLine("%s refused path: %s", operation, wideToAnsi(path).c_str());
    return true;
}

// Removes a junction or symbolic link itself; never touches what it points to.
bool removeLink(const std::wstring& path, DWORD attributes) {
    if (attributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        if (RemoveDirectoryW(path.c_str())) return true;
    }
    return DeleteFileW(path.c_str()) != FALSE;
}

#ifdef TARVO_TEST_SEAMS
FileAttributesQuery g_attributesQuery = nullptr;
#endif

DWORD fileAttributes(const std::wstring& path) {
#ifdef TARVO_TEST_SEAMS
    if (g_attributesQuery) return g_attributesQuery(path.c_str());
#endif
    return GetFileAttributesW(path.c_str());
}

// Deletes a file; a locked one is parked as "<folder>~<name>" beside its
// folder and scheduled for deletion at the next restart. Non-zero on success.
int deleteOrSchedule(const std::wstring& file) {
    if (file.size() > kMaxPath) return 0;
    DWORD attributes = fileAttributes(file);
    // Only a file that is not there counts as deleted; one that cannot be
    // looked at (access denied) is a failure.
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 1 : 0;
    }
    if (attributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(file.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if (DeleteFileW(file.c_str())) return 1;

    std::vector<wchar_t> folderBuf(file.begin(), file.end());
    folderBuf.push_back(L'\0');
    PathRemoveFileSpecW(folderBuf.data());
    std::wstring parking = std::wstring(folderBuf.data()) + L"~" + PathFindFileNameW(file.c_str());
    // A cut parking name could match an unrelated file, which would be deleted.
    if (parking.size() > kMaxPath) return 0;

    DWORD parkedAttributes = GetFileAttributesW(parking.c_str());
    if (parkedAttributes != INVALID_FILE_ATTRIBUTES &&
        !(parkedAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        if (parkedAttributes & FILE_ATTRIBUTE_READONLY)
            SetFileAttributesW(parking.c_str(), parkedAttributes & ~FILE_ATTRIBUTE_READONLY);
        DeleteFileW(parking.c_str());
    }
    if (!MoveFileW(file.c_str(), parking.c_str())) return 0;
    return MoveFileExW(parking.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) ? 1 : 0;
}

// Removes the folder and everything in it except the entries directly inside
// it whose lower-cased names are in `keep`. Links are removed, not followed.
// Non-zero when the folder itself is gone.
int removeTree(const std::wstring& folder, const std::set<std::wstring>& keep) {
    const std::wstring prefix = folder + L"\\";
    WIN32_FIND_DATAW data;
    ScopedFindHandle find(FindFirstFileW((prefix + L"*").c_str(), &data));
    if (find) {
        do {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            if (!keep.empty() && keep.count(toLowerCopy(name))) continue;
            std::wstring child = prefix + name;
            if (child.size() > kMaxPath) continue;  // cannot be deleted; the folder stays
            if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                removeLink(child, data.dwFileAttributes);
            } else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                if (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
                    SetFileAttributesW(child.c_str(),
                                       data.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
                removeTree(child, std::set<std::wstring>());
            } else {
                deleteOrSchedule(child);
            }
        } while (FindNextFileW(find.get(), &data));
        find.reset();
    }
    return RemoveDirectoryW(folder.c_str()) ? 1 : 0;
}

std::set<std::wstring> keepSet(const std::wstring& keepList) {
    std::vector<std::wstring> pieces;
    split(keepList, pieces, L";", false);
    std::set<std::wstring> names;
    for (const std::wstring& piece : pieces) names.insert(toLowerCopy(piece));
    return names;
}

bool forceDelete(const std::wstring& path, const std::set<std::wstring>& keep) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return removeLink(path, attributes);
    if (isDirectory(path)) return removeTree(path, keep) != 0;
    return deleteOrSchedule(path) != 0;
}

// True when the folder is a link or holds one anywhere below it.
bool containsLink(const std::wstring& folder, int depth) {
    DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return true;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
    if (depth > 256) return true;  // treat an absurd depth as unsafe for the shell
    WIN32_FIND_DATAW data;
    ScopedFindHandle find(FindFirstFileW((folder + L"\\*").c_str(), &data));
    if (!find) return false;
    bool found = false;
    do {
        std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            found = true;
        } else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            found = containsLink(folder + L"\\" + name, depth + 1);
        }
    } while (!found && FindNextFileW(find.get(), &data));
    return found;
}

// The path followed by the pair of nulls that the shell needs.
std::vector<wchar_t> doubleNullBuffer(const std::wstring& text) {
    std::vector<wchar_t> buffer(text.begin(), text.end());
    buffer.push_back(L'\0');
    buffer.push_back(L'\0');
    return buffer;
}

}  // namespace

bool pathExists(const std::wstring& path) { return PathFileExistsW(path.c_str()) != FALSE; }

bool pathExistsA(const std::string& path) { return PathFileExistsA(path.c_str()) != FALSE; }

bool isDirectory(const std::wstring& path) { return PathIsDirectoryW(path.c_str()) != FALSE; }

bool isRelative(const std::wstring& path) { return PathIsRelativeW(path.c_str()) != FALSE; }

uint64_t fileSizeA(const std::string& path) {
    struct _stati64 info;
    if (_stati64(path.c_str(), &info) != 0) return 0;
    return info.st_size < 0 ? 0 : static_cast<uint64_t>(info.st_size);
}

bool isRefusedPath(const std::wstring& path) {
    if (path.empty()) return true;
    if (path.find_first_of(L"*?<>|\"") != std::wstring::npos) {
        // Wildcards, except the "\\?\" prefix of a long-path name.
        if (path.compare(0, 4, L"\\\\?\\") != 0 ||
            path.find_first_of(L"*?<>|\"", 4) != std::wstring::npos)
            return true;
    }
    for (wchar_t c : path)
        if (c < 0x20) return true;

    const bool unc = path.size() >= 2 && isSeparator(path[0]) && isSeparator(path[1]);
    const bool drive = !unc && path.size() >= 2 && isDriveLetter(path[0]) && path[1] == L':';
    // A relative path ("x", "C:x") or one rooted on the current drive ("\x",
    // what an empty folder joined with a name gives) resolves against whatever
    // the current folder and drive are.
    if (!unc && !drive) return true;
    if (drive && path.size() > 2 && !isSeparator(path[2])) return true;
    std::vector<std::wstring> pieces = components(drive ? path.substr(2) : path);
    for (const std::wstring& piece : pieces)
        if (isDotComponent(piece)) return true;

    if (unc) {
        // Server and share, then at least one name inside the share.
        size_t rootPieces = 2;
        if (!pieces.empty() && (pieces[0] == L"?" || pieces[0] == L".")) {
            // "\\?\C:\x" and "\\?\UNC\srv\share\x".
            rootPieces = pieces.size() > 1 && pieces[1] == L"UNC" ? 4 : 2;
        }
        return pieces.size() <= rootPieces;
    }
    // "C:", "C:\", "\", "/" ...: nothing below a root.
    return pieces.empty();
}

int shellFileOperation(UINT func, const std::wstring& from, const std::wstring& to,
                       FILEOP_FLAGS flags) {
    if (isRefusedPath(from) || from.size() > kMaxPath || to.size() > kMaxPath) {
        ravel::log::printLine("shell operation %u refused: %s -> %s", func, wideToAnsi(from).c_str(),
                  wideToAnsi(to).c_str());
        return -1;
    }
    // The shell follows junctions and symbolic links and would delete what
    // they point to.
    if (func == FO_DELETE && containsLink(from, 0)) {
        ravel::log::printLine("shell delete skipped, links inside: %s", wideToAnsi(from).c_str());
        return -1;
    }
    std::vector<wchar_t> fromBuffer = doubleNullBuffer(from);
    std::vector<wchar_t> toBuffer = doubleNullBuffer(to);
    SHFILEOPSTRUCTW operation;
    ZeroMemory(&operation, sizeof(operation));
    operation.hwnd = nullptr;
    operation.wFunc = func;
    operation.pFrom = fromBuffer.data();
    operation.pTo = to.empty() ? nullptr : toBuffer.data();
    operation.fFlags = flags;
    return SHFileOperationW(&operation);
}

ErrorCode deletePath(const std::wstring& path, bool allowUndo) {
    if (refuse(path, "deletePath")) return ErrorCode(false);
    // A tree with links inside is refused by the shell operation and goes to
    // the forced deletion, which removes links without following them.
    FILEOP_FLAGS flags = allowUndo ? 0x0454 : 0x0414;
    if (shellFileOperation(FO_DELETE, path, std::wstring(), flags) == 0) return ErrorCode(true);
    return ErrorCode(forceDelete(path, std::set<std::wstring>()));
}

ErrorCode deletePathA(const std::string& path, bool allowUndo) {
    return deletePath(ansiToWide(path), allowUndo);
}

ErrorCode forceDeletePath(const std::wstring& path) {
    if (refuse(path, "forceDeletePath")) return ErrorCode(false);
    return ErrorCode(forceDelete(path, std::set<std::wstring>()));
}

ErrorCode forceDeletePathExcept(const std::wstring& path, const std::wstring& keepList) {
    if (refuse(path, "forceDeletePathExcept")) return ErrorCode(false);
    return ErrorCode(forceDelete(path, keepSet(keepList)));
}

bool removeEntry(const std::wstring& path, bool clearReadOnly) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !link) return false;  // a real folder stays
    // RemoveDirectoryW and DeleteFileW take a link itself, never its target; a
    // link's attributes are left alone, as they may be its target's.
    if (clearReadOnly && (attributes & FILE_ATTRIBUTE_READONLY) && !link)
        SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveDirectoryW(path.c_str());
    else
        DeleteFileW(path.c_str());
    return GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES;
}

bool PinnedFile::pinIfEqual(const std::wstring& path, const std::string& expected) {
    release();
    ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) return false;
    BY_HANDLE_FILE_INFORMATION info;
    bool same = GetFileInformationByHandle(file.get(), &info) &&
                !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
                ((uint64_t)info.nFileSizeHigh << 32 | info.nFileSizeLow) == expected.size();
    std::vector<char> chunk(64 * 1024);
    for (size_t at = 0; same && at < expected.size();) {
        DWORD got = 0;
        if (!ReadFile(file.get(), chunk.data(), (DWORD)chunk.size(), &got, nullptr) || got == 0 ||
            got > expected.size() - at || memcmp(chunk.data(), expected.data() + at, got) != 0)
            same = false;
        at += got;
    }
    if (!same) return false;
    handle_ = std::move(file);
    return true;
}

void PinnedFile::release() { handle_.reset(); }

ErrorCode movePath(const std::wstring& from, const std::wstring& to, bool renameOnCollision) {
    if (refuse(from, "movePath")) return ErrorCode(false);
    FILEOP_FLAGS flags = renameOnCollision ? 0x061D : 0x0615;
    return ErrorCode(shellFileOperation(FO_MOVE, from, to, flags) == 0);
}

ErrorCode copyPath(const std::wstring& from, const std::wstring& to, bool renameOnCollision) {
    if (refuse(from, "copyPath")) return ErrorCode(false);
    FILEOP_FLAGS flags = renameOnCollision ? 0x061D : 0x0615;
    return ErrorCode(shellFileOperation(FO_COPY, from, to, flags) == 0);
}

namespace {

bool createDirectoriesImpl(const std::wstring& text) {
    std::wstring path = ravel::file::Path(text).toString();
    if (path.size() > kMaxPath) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) return true;
        SetLastError(ERROR_FILE_EXISTS);
        return false;
    }
    bool parentMade = true;
    size_t lastBackslash = path.rfind(L'\\');
    // Without a backslash above position 0 there is no parent to make first.
    if (lastBackslash != std::wstring::npos && lastBackslash > 0)
        parentMade = createDirectoriesImpl(path.substr(0, lastBackslash));
    bool made = CreateDirectoryW(path.c_str(), nullptr) != FALSE;
    return parentMade && made;
}

}  // namespace

ErrorCode createDirectories(const std::wstring& path) {
    return ErrorCode(createDirectoriesImpl(path));
}

#ifdef TARVO_TEST_SEAMS
void setFileAttributesQueryForTests(FileAttributesQuery query) { g_attributesQuery = query; }
#endif
