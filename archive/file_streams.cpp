#include "archive/file_streams.h"

#include <algorithm>

namespace kupack {

bool FileSource::read(std::span<std::uint8_t> buffer, std::size_t& count) {
  count = 0;
  if (!failure_) return false;
  const std::uint64_t left = file_.size() - position_;
  const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), left));
  if (wanted == 0) return true;
  if (Status read = file_.readAt(position_, buffer.first(wanted)); !read) {
    failure_ = std::move(read);
    return false;
  }
  position_ += wanted;
  count = wanted;
  return true;
}

bool WritableFileSink::put(std::span<const std::uint8_t> bytes) {
  if (!failure_) return false;
  failure_ = file_.append(bytes);
  return failure_.isOk();
}

bool StagedFileSink::put(std::span<const std::uint8_t> bytes) {
  if (!failure_) return false;
  failure_ = file_.append(bytes);
  return failure_.isOk();
}

}  // namespace kupack
