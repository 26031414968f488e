// Test seams of toolkit/: only test builds compile them (TARVO_TEST_SEAMS);
// the shipped loader holds none of them.
#pragma once

#ifndef TARVO_TEST_SEAMS
#error "toolkit/seams.h belongs to test builds"
#endif

#include <windows.h>

#include <cstddef>
#include <string>

// What the child runner's reader threads grow their buffers with; null
// restores realloc.
typedef void* (*ReaderGrowFunction)(void* block, size_t bytes);
void setReaderGrowForTests(ReaderGrowFunction grow);

// Makes the nth reader start from now fail (1: the stdout reader of the next
// wait, 2: its stderr reader); 0 makes none fail.
void failReaderStartForTests(int nth);

// The shell's lookup of the Program Files folder (CSIDL 38) for the disk
// helpers: true with the folder, false as when the call fails. Null restores
// the shell's.
typedef bool (*ProgramFilesLookup)(std::wstring& folder);
void setProgramFilesLookupForTests(ProgramFilesLookup lookup);

// The attribute query with which the forced deletion looks at a file before
// deleting it (GetFileAttributesW: set the last error with a failure). Null
// restores GetFileAttributesW.
typedef DWORD (*FileAttributesQuery)(const wchar_t* path);
void setFileAttributesQueryForTests(FileAttributesQuery query);
