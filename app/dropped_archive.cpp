#include "app/dropped_archive.h"

#include <cerrno>
#include <cstring>

#include "app/catalogue.h"
#include "app/read_commands.h"
#include "app/status_text.h"
#include "archive/archive_reader.h"
#include "common/console.h"
#include "platform/file.h"
#include "platform/platform.h"

namespace kupack {
namespace {

constexpr char EXTENSION[] = ".kup";
constexpr std::size_t EXTENSION_LENGTH = sizeof EXTENSION - 1;
// Beyond this many folders of the archive's name, the user is asked to tidy up first.
constexpr unsigned MAX_FOLDER_ATTEMPTS = 1000;

bool endsWithArchiveExtension(const std::string& name) {
  if (name.size() <= EXTENSION_LENGTH) return false;
  const std::string tail = name.substr(name.size() - EXTENSION_LENGTH);
  for (std::size_t i = 0; i < EXTENSION_LENGTH; ++i) {
    const char c = tail[i];
    const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    if (lower != EXTENSION[i]) return false;
  }
  return true;
}

std::string shown(const std::string& native) { return platform::nativeToConsoleText(native); }

}  // namespace

bool isDroppedArchive(const std::string& argument) {
  return endsWithArchiveExtension(argument) && platform::regularFileLength(argument).has_value();
}

std::string droppedArchiveFolder(const std::string& archivePath, unsigned attempt) {
  const char* separators = platform::nativeSeparator() == '/' ? "/" : "\\/";
  const std::size_t cut = archivePath.find_last_of(separators);
  const std::string name = cut == std::string::npos ? archivePath : archivePath.substr(cut + 1);
  std::string folder = name.substr(0, name.size() - EXTENSION_LENGTH);
  if (attempt > 1) folder += " (" + std::to_string(attempt) + ")";
  return platform::joinPath(platform::absolutePath("..", archivePath), folder);
}

int extractDroppedArchive(const std::string& argument) {
  const auto here = platform::currentDirectory();
  if (!here) {
    consoleErrorPrint(tr("%s: cannot learn the current folder (%s)\n"), shown(argument).c_str(),
                      shown(std::strerror(errno)).c_str());
    return 1;
  }
  const std::string archive = platform::absolutePath(argument, *here);
  {
    ArchiveReader reader;  // no folder for what is no archive
    if (Status status = reader.open(archive); !status) {
      consoleError(statusText(status));
      return 1;
    }
  }
  for (unsigned attempt = 1; attempt <= MAX_FOLDER_ATTEMPTS; ++attempt) {
    const std::string folder = droppedArchiveFolder(archive, attempt);
    if (platform::makeNewFolder(folder)) {
      consoleWrite(shown(archive) + " -> " + shown(folder) + "\n");
      return extractArchiveCommand(archive, folder, false);
    }
    if (errno != EEXIST) {
      consoleErrorPrint(tr("%s: cannot make the folder (%s)\n"), shown(folder).c_str(),
                        shown(std::strerror(errno)).c_str());
      return 1;
    }
  }
  consoleErrorPrint(tr("%s: %u folders of this name exist already; nothing was extracted\n"),
                    shown(droppedArchiveFolder(archive, 1)).c_str(), MAX_FOLDER_ATTEMPTS);
  return 1;
}

}  // namespace kupack
