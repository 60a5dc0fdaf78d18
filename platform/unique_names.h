// Random names for files made exclusively (a run's part file, extraction's staged files): one
// generator a thread, so that threads making files at once never share its state. Two runs
// that pick the same name anyway are kept apart by the exclusive creation. Only platform/
// includes it.
#pragma once

#include <cstdint>
#include <string>

namespace kupack::platform {

// 64 random bits from this thread's generator.
std::uint64_t randomNameBits();

// `stem` + "." + 8 random characters (0-9, a-z) + `suffix`.
std::string uniqueNameCandidate(const std::string& stem, const std::string& suffix);

}  // namespace kupack::platform
