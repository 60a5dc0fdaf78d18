#include "app/pack_console.h"

#include "app/catalogue.h"
#include "archive/archive_reader.h"
#include "common/console.h"
#include "platform/platform.h"

namespace kupack {
namespace {

// A native path as console text, control characters shown as '?' as the listing does.
std::string shown(const std::string& native) {
  return withoutControlBytes(platform::nativeToConsoleText(native));
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
      return tr("Type: 256-colour BMP (modified LZSS)\n");
    case ENTRY_SPB:
      return tr("Type: 24-bit BMP (SPB)\n");
    case ENTRY_STORED:
      break;
  }
  return tr("Type: other (stored)\n");
}

}  // namespace

std::string packEventText(const PackEvent& event) {
  using Kind = PackEvent::Kind;
  switch (event.kind) {
    case Kind::FolderEntered:
      return formatText(tr("Found the subfolder %s.\n"), shown(event.path).c_str());
    case Kind::FolderCycle:
      return formatText(tr("The subfolder %s is a link to a folder above it; left out.\n"),
                        shown(event.path).c_str());
    case Kind::FolderLeft:
      return formatText(tr("Subfolder %s done\n"), shown(event.path).c_str());
    case Kind::LinkFollowed:
      return formatText(tr("Reading what the link %s (%s) points to.\n"), shown(event.path).c_str(),
                        shown(event.detail).c_str());
    case Kind::LinkToAncestor:
      return formatText(
          tr("The link %s points to the chosen folder or a folder above it; left out.\n"),
          shown(event.path).c_str());
    case Kind::SpecialSkipped:
      return formatText(tr("%s is neither a regular file nor a folder; left out.\n"),
                        shown(event.path).c_str());
    case Kind::EntryStarted:
      return formatText(tr("Compressing the file %s (%d/%d)\n"),
                        entryNameForConsole(event.path).c_str(), static_cast<int>(event.first),
                        static_cast<int>(event.second));
    case Kind::CodingChosen:
      return codingLine(event.coding);
    case Kind::CodingProgress: {
      const std::uint64_t percent = event.second == 0 ? 0 : event.first * 100 / event.second;
      return formatText(tr("Source: %10lu(%lu%%)\r"), static_cast<unsigned long>(event.first),
                        static_cast<unsigned long>(percent));
    }
    case Kind::CopyProgress:
      return formatText(tr("\rLeft %3lu%%"), remainingPercent(event.first, event.second));
    case Kind::CopyDone:
      return "\r";
    case Kind::EntrySizes:
      return formatText(tr("Source:     %10lu bytes\n"), static_cast<unsigned long>(event.first)) +
             formatText(tr("Compressed: %10lu bytes (%lu%%)\n"),
                        static_cast<unsigned long>(event.second),
                        ratioPercent(event.second, event.first));
    case Kind::Joining:
      return tr("Joining all the files.\n");
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
