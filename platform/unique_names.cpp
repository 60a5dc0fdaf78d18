#include "platform/unique_names.h"

#include <chrono>
#include <functional>
#include <random>
#include <thread>

namespace kupack::platform {

std::uint64_t randomNameBits() {
  // The clock and the thread are mixed in where the system's random device is a fixed
  // sequence.
  thread_local std::mt19937_64 generator{
      std::random_device{}() ^
      static_cast<std::uint64_t>(
          std::chrono::high_resolution_clock::now().time_since_epoch().count()) ^
      (static_cast<std::uint64_t>(std::hash<std::thread::id>{}(std::this_thread::get_id())) << 16)};
  return generator();
}

std::string uniqueNameCandidate(const std::string& stem, const std::string& suffix) {
  static constexpr char DIGITS[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::string name = stem + '.';
  std::uint64_t bits = randomNameBits();
  for (int i = 0; i < 8; ++i, bits /= 36) name += DIGITS[bits % 36];
  return name + suffix;
}

}  // namespace kupack::platform
