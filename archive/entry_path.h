// Where an archive entry goes when it is extracted: its recorded name (code page 932,
// '\' between folder levels) split into native folder and file names. Refuses every name
// that could reach outside the target folder.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/status.h"

namespace kupack {

// True for a code page 932 lead byte, the first of a two-byte character; the byte after
// it is never a separator, even when it is 0x5C ('\').
inline bool isCp932LeadByte(unsigned char byte) {
  return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

// Splits `name` at each '\' that is a character of its own (not the second byte of a
// two-byte character). A trailing lead byte stays in the last level.
std::vector<std::string> splitEntryName(std::string_view name);

// True when a two-byte character of the code page 932 name `name` has a lower-case letter
// ('a' to 'z') as its second byte. Archives record names lower-cased byte by byte, second
// bytes included, so such a character may have been another one in the packed file's name
// ("アイコン.txt" is recorded, and given back, as "ヂツビン.txt"); the recorded bytes are what
// the engine looks up, so they are kept.
bool mayHaveLoweredSecondByte(std::string_view name);

// True when Windows would not take the level (code page 932) as a file's own name: a device
// name (CON, PRN, AUX, NUL, COM0 to COM9, LPT0 to LPT9, CONIN$, CONOUT$; any letter case,
// with or without an extension, with spaces before the dot), a name ending in a dot or a
// space (dropped by the system, so another file's name), one holding ':' (the start of an
// alternate data stream's name) or another character Windows allows in no name (< > " | ? *
// or a control character). The second byte of a two-byte character is no character of its
// own. Such names extract everywhere else.
bool isWindowsReservedName(std::string_view level);

// The native folder names and file name (last) of the entry `name`, or nullopt with
// `refusal` (Refused, with the reason) saying why the name is not extracted: it is empty, absolute,
// holds a drive letter or ':', a level that is empty, ".", ".." or only dots and spaces,
// or a level that has no native form. Where the platform reserves device names (Windows),
// also a level that isWindowsReservedName or that holds a character Windows allows in no
// name (a control character or one of <>"|?*); elsewhere such levels are ordinary names.
std::optional<std::vector<std::string>> entryPathLevels(std::string_view name, Status& refusal);

}  // namespace kupack
