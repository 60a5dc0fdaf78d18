#include "common/status.h"

#include <cstring>

#include "common/console.h"
#include "common/messages.h"
#include "platform/platform.h"

namespace kupack {
namespace {

std::string shown(const std::string& native) { return platform::nativeToConsoleText(native); }

std::string withReason(const char* messageTemplate, const Status& status) {
  const std::string reason = shown(std::strerror(status.errorNumber()));
  return formatText(messageTemplate, shown(status.path()).c_str(), reason.c_str());
}

}  // namespace

std::string Status::message() const { return statusMessage(*this); }

std::string statusMessage(const Status& status) {
  using Code = Status::Code;
  if (status.path().empty() && !status.detail().empty()) return status.detail();
  switch (status.code()) {
    case Code::Ok:
      return {};
    case Code::CannotOpen:
      return withReason(MSG_CANNOT_OPEN, status);
    case Code::CannotCreate:
      return withReason(MSG_CANNOT_CREATE, status);
    case Code::CannotRead:
      return withReason(MSG_CANNOT_READ, status);
    case Code::SourceChanged:
      return formatText(MSG_SOURCE_CHANGED, shown(status.path()).c_str());
    case Code::CannotWrite:
      return withReason(MSG_CANNOT_WRITE, status);
    case Code::CannotRename:
      return formatText(MSG_CANNOT_RENAME, shown(status.path()).c_str(),
                        shown(status.otherPath()).c_str(),
                        shown(std::strerror(status.errorNumber())).c_str());
    case Code::FileTooLarge:
      return formatText(MSG_FILE_TOO_LARGE, shown(status.path()).c_str());
    case Code::DataTooLarge:
      return MSG_DATA_TOO_LARGE;
    case Code::OutOfMemory:
      return formatText(MSG_OUT_OF_MEMORY, shown(status.path()).c_str());
    case Code::OutputError:
      return MSG_OUTPUT_ERROR;
    case Code::Corrupt:
    case Code::Refused:
    case Code::Failed:
      break;
  }
  return status.detail();
}

}  // namespace kupack
