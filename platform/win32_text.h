// Code page aware path and name handling of the Windows platform layer. Native names are
// UTF-8, whatever the system's ANSI code page, and reach the system only through the Unicode
// ("W") calls. The code page is a parameter, so that the layer's own tests can try others;
// win32.cpp passes NATIVE_CODE_PAGE.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kupack::platform::win32 {

inline constexpr unsigned CODE_PAGE_932 = 932;

// The code page of native names and paths: UTF-8 (the system's CP_UTF8).
inline constexpr unsigned NATIVE_CODE_PAGE = 65001;

// The ANSI code page of the process, which kupack no longer uses for names (for tests and
// messages that say which system they ran on).
unsigned ansiCodePage();

// A native (UTF-8) path as the system's UTF-16 path, or nullopt when the bytes are not
// UTF-8. Paths of MAX_PATH - 12 characters or more (the limit of a new folder's path) are
// made absolute and given the extended-length prefix ("\\?\C:\...", "\\?\UNC\server\..."),
// so that the system takes them beyond its usual limit; shorter ones are left as they are.
// `fullPath` makes a path absolute as the system does (GetFullPathNameW).
std::optional<std::wstring> systemPath(std::string_view native,
                                       std::wstring (*fullPath)(const std::wstring&));

// UTF-16 text from the system (a name, a path) as native UTF-8; nullopt for a lone surrogate.
std::optional<std::string> nativeFromSystem(std::wstring_view wide);

// Code page 932 text as UTF-16 (characters that are none become U+FFFD).
std::wstring cp932ToWide(std::string_view cp932);

// Whether a console window closes, unread, when this process ends: `processCount` is what
// GetConsoleProcessList reports (0 for a failure, as when there is no console), and
// `inputIsConsole` whether standard input is that console's keyboard. Only a process alone
// on its console (started by a double-click or a drop in Explorer, which open a console for
// it) loses the window with its end; one whose input comes from a file or a pipe has nobody
// at a keyboard to wait for.
bool consoleClosesWithProcess(std::uint32_t processCount, bool inputIsConsole);

// True when the last character of `path` is a folder separator ('\' or '/'). A double-byte
// character whose second byte is 0x5C (as in many code page 932 characters) is not one.
bool endsWithSeparator(std::string_view path, unsigned codePage);

// `path` without trailing separators, except the separator of a root ("C:\", "\").
std::string withoutTrailingSeparators(std::string_view path, unsigned codePage);

// `path` made absolute against `base` (an absolute path) and normalized: "." and ".."
// resolved, separators made single backslashes, no trailing one except a root's own.
// Knows drive roots ("C:\"), drive-relative ("C:x"), root-relative ("\x") and UNC
// ("\\server\share\x") forms. Nothing is looked up on disk.
std::string absolutePathIn(std::string_view path, std::string_view base, unsigned codePage);

// True when the system takes `name` (one folder level or file name) literally as the name of
// a new file: not empty, not "." or "..", no control character and none of <>:"/\|?*, no
// trailing dot or space (the system would drop them), and no device name such as CON, NUL,
// COM1 or LPT1, with or without an extension (the system would open the device).
bool isLiteralFileName(std::string_view name, unsigned codePage);

// The folder that holds `path` (its last separator and what follows removed, a root's own
// separator kept), or an empty string when `path` has no folder part.
std::string parentFolder(std::string_view path, unsigned codePage);

// A name in `codePage` as code page 932 bytes, or nullopt when it has none (never a
// look-alike: U+00A5 does not become 0x5C). Names that contain '?' are refused: the file
// system never allows that byte in a name, so it stands for a character that a listing could
// not express and the file cannot be opened by it.
std::optional<std::string> nameToCp932(std::string_view native, unsigned codePage);

// A code page 932 name in `codePage`, or nullopt when the bytes are not well-formed code
// page 932 or have no form in that code page.
std::optional<std::string> cp932ToName(std::string_view cp932, unsigned codePage);

// Text in code page `from` as text in code page `to`, characters without a form replaced
// by '?'. For display only.
std::string convertForDisplay(std::string_view text, unsigned from, unsigned to);

}  // namespace kupack::platform::win32
