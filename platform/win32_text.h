// Code page aware path and name handling of the Windows platform layer. The code page is a
// parameter, so that the layer's own tests can try other ANSI code pages than the machine's;
// win32.cpp passes the ANSI code page of the process.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kupack::platform::win32 {

inline constexpr unsigned CODE_PAGE_932 = 932;

// The ANSI code page of the process: the one in which the "A" functions take and give names.
unsigned ansiCodePage();

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

// A name in `ansiCodePage` as code page 932 bytes, or nullopt when it has none. Names that
// contain '?' are refused: the file system never allows that byte in a name, so it stands for
// a character that the ANSI listing could not express and the file cannot be opened by it.
std::optional<std::string> nameToCp932(std::string_view native, unsigned ansiCodePage);

// A code page 932 name in `ansiCodePage`, or nullopt when the bytes are not well-formed code
// page 932 or have no form in that code page.
std::optional<std::string> cp932ToName(std::string_view cp932, unsigned ansiCodePage);

// Text in code page `from` as text in code page `to`, characters without a form replaced
// by '?'. For display only.
std::string convertForDisplay(std::string_view text, unsigned from, unsigned to);

}  // namespace kupack::platform::win32
