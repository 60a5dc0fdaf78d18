#include "app/pack_console.h"

#include "archive/archive_reader.h"
#include "common/console.h"
#include "common/messages.h"
#include "platform/platform.h"

namespace kupack {
namespace {

// A native path as console text, control characters shown as '?' as the listing does.
std::string shown(const std::string& native) {
  return entryNameForConsole(platform::nativeToConsoleText(native));
}

unsigned long remainingPercent(std::uint64_t remaining, std::uint64_t total) {
  if (total == 0) return 0;
  return static_cast<unsigned long>(static_cast<double>(remaining) / static_cast<double>(total) *
                                    100.0);
}

unsigned long ratioPercent(std::uint64_t storedSize, std::uint64_t sourceSize) {
  if (sourceSize == 0) return 0;
  return static_cast<unsigned long>(static_cast<std::uint32_t>(
      static_cast<double>(storedSize) * 100.0 / static_cast<double>(sourceSize)));
}

const char* codingLine(EntryType type) {
  switch (type) {
    case ENTRY_LZSS:
      return MSG_TYPE_LZSS;
    case ENTRY_SPB:
      return MSG_TYPE_SPB;
    case ENTRY_STORED:
      break;
  }
  return MSG_TYPE_STORED;
}

}  // namespace

std::string packEventText(const PackEvent& event) {
  using Kind = PackEvent::Kind;
  switch (event.kind) {
    case Kind::FolderEntered:
      return formatText(MSG_SUBFOLDER_FOUND, shown(event.path).c_str());
    case Kind::FolderCycle:
      return formatText(MSG_SUBFOLDER_CYCLE, shown(event.path).c_str());
    case Kind::FolderLeft:
      return formatText(MSG_SUBFOLDER_DONE, shown(event.path).c_str());
    case Kind::LinkFollowed:
      return formatText(MSG_LINK_FOLLOWED, shown(event.path).c_str(), shown(event.detail).c_str());
    case Kind::LinkToAncestor:
      return formatText(MSG_LINK_TO_ANCESTOR, shown(event.path).c_str());
    case Kind::SpecialSkipped:
      return formatText(MSG_SPECIAL_SKIPPED, shown(event.path).c_str());
    case Kind::EntryStarted:
      return formatText(MSG_ENTRY_START, entryNameForConsole(event.path).c_str(),
                        static_cast<int>(event.first), static_cast<int>(event.second));
    case Kind::CodingChosen:
      return codingLine(event.coding);
    case Kind::CodingProgress: {
      const std::uint64_t percent = event.second == 0 ? 0 : event.first * 100 / event.second;
      return formatText(MSG_LZSS_PROGRESS, static_cast<unsigned long>(event.first),
                        static_cast<unsigned long>(percent));
    }
    case Kind::CopyProgress:
      return formatText(MSG_COPY_PROGRESS, remainingPercent(event.first, event.second));
    case Kind::CopyDone:
      return "\r";
    case Kind::EntrySizes:
      return formatText(MSG_SOURCE_SIZE, static_cast<unsigned long>(event.first)) +
             formatText(MSG_STORED_SIZE, static_cast<unsigned long>(event.second),
                        ratioPercent(event.second, event.first));
    case Kind::Joining:
      return MSG_JOINING;
  }
  return {};
}

void ConsolePackListener::onEvent(const PackEvent& event) {
  using Kind = PackEvent::Kind;
  switch (event.kind) {
    case Kind::CodingProgress:
    case Kind::CopyProgress:
    case Kind::CopyDone:
      return consoleProgress(packEventText(event));
    case Kind::FolderCycle:
    case Kind::LinkToAncestor:
    case Kind::SpecialSkipped:
      return consoleError(packEventText(event));
    default:
      return consoleWrite(packEventText(event));
  }
}

}  // namespace kupack
