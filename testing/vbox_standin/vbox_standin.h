// Common part of the VirtualBox stand-ins (test-only programs that act on the
// prefix's real registry, service manager, processes and files in place of
// VirtualBox). Built on the Qv stand-ins' library: the same record and modes,
// with VirtualBox's state folder, record mutex and variables.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "testing/qv_standin/standin.h"

class TiXmlDocument;
class TiXmlElement;

namespace vbs {

// Starts the record as qvs::begin does, in %VBOX_STANDIN_DIR% (else
// %ProgramData%\vbox-standin), with VBOX_USER_HOME in the `start` line.
qvs::Start begin(const std::wstring& program = std::wstring());
// For the libraries: records into the same folder.
void attach(const std::wstring& program);

// Reads [section] and carries out what every program knows before its work:
// garbage and empty (they end the program), slow, and hang (firstLine, then the
// lifetime). `exit` and the program's own modes are left in s.mode.
void applyModes(qvs::Start& s, const std::wstring& section, const std::string& firstLine);
// Records `exit <code>\t<mode>` and ends; `exit` mode replaces the code.
[[noreturn]] void finish(const qvs::Start& s, int code);

// A line of standard output or error (CR LF added), in the ANSI code page.
void out(const std::string& ansiText);
void err(const std::string& ansiText);
std::string ansi(const std::wstring& text);
std::wstring lower(std::wstring text);
std::string lowerA(std::string text);
std::wstring envValue(const wchar_t* name);

// "<VBOX_USER_HOME or %USERPROFILE%\.VirtualBox>\VirtualBox.xml".
std::wstring settingsPath();
bool readBytes(const std::wstring& path, std::string& bytes);
bool writeBytes(const std::wstring& path, const std::string& bytes);
// Loads the settings file (a minimal one when it is missing); false when it
// does not load.
bool loadSettings(TiXmlDocument& doc);
// Saves as VirtualBox does: "-tmp" written, the old file renamed "-prev", the
// temporary one moved into place, under the settings mutex.
bool saveSettings(TiXmlDocument& doc);
TiXmlElement* globalChild(TiXmlDocument& doc, const char* name, bool create);

// The two COM registrations with their files.
bool comRegistered();
extern const wchar_t kServerClsid[];  // {B1A7A4F2-47B9-4A1E-82B2-07CCD5323C3F}
extern const wchar_t kClientClsid[];  // {DD3FC71D-26C0-4FE1-BF6F-67F633265BBA}

// A REG_SZ under HKEY_CLASSES_ROOT (name null: the default value); the key is created.
bool setClassesString(const std::wstring& key, const wchar_t* name, const std::wstring& value);

// "vbox-standin-vm-<uuid>" (uuid lower-cased, without braces).
std::wstring vmMutexName(const std::string& uuid);
std::wstring vmStopEventName(const std::string& uuid);
bool vmRunning(const std::string& uuid);

// Starts "<own folder><exe> args" detached, without inherited handles.
bool startDetached(const std::wstring& exe, const std::wstring& args, DWORD* pid = nullptr);
// The same for a whole command line.
bool startDetachedLine(const std::wstring& commandLine, DWORD* pid = nullptr);

}  // namespace vbs
