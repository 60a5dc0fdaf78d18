// Text and names between the system and the archive: native names to and from code page
// 932, console text for display, and shell patterns over UTF-8 names. Nothing here touches
// a file or the console.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kupack::platform {

// A native file name as code page 932 bytes, or nullopt when it has no CP932 form
// (a UTF-8 name is converted, and only when converting back gives the very same name, so
// that no two names meet and no sign such as U+00A5 turns into a '\'; on POSIX a non-UTF-8
// name that is well-formed CP932 is taken as it is; anything else is refused).
std::optional<std::string> nativeNameToCp932(std::string_view native);

// A code page 932 name as a native name (CP932 to UTF-8), or nullopt when the bytes are not
// well-formed CP932. It undoes nativeNameToCp932 for UTF-8 names (not for names that were
// CP932 bytes on a POSIX disk already).
std::optional<std::string> cp932ToNativeName(std::string_view cp932);

// A native string (a path, an error text) as console text (UTF-8): a UTF-8 string as it
// is, on POSIX a non-UTF-8 one that is well-formed code page 932 converted, any other bytes
// kept (the console escapes them when it writes them). For display only.
std::string nativeToConsoleText(std::string_view native);

// Code page 932 text as UTF-8 (on Windows through UTF-16); bytes that are no code page 932
// character are kept as they are (POSIX) or become U+FFFD (Windows).
std::string cp932ToUtf8Text(std::string_view cp932);

// True when the UTF-8 text `text` matches the shell pattern `pattern` (UTF-8): '*' any run
// of characters, '?' one character, '[...]' one of a set (ranges, '!' or '^' first negates,
// ']' first is itself); no escape character, '/' and '.' are ordinary characters, letters
// compared exactly. fnmatch(3) on POSIX, the same rules on Windows.
bool wildcardMatches(const std::string& pattern, const std::string& text);

// True where the file system takes some names as devices (CON, NUL, COM1, ...), some
// characters (':') as the start of a stream name, and drops a trailing dot or space
// (Windows): names that must never be made from an archive there.
bool reservesDeviceNames();

}  // namespace kupack::platform
