#include "app/user_prompts.h"

#include "app/catalogue.h"
#include "common/console.h"

namespace kupack {
namespace {

std::FILE*& promptInputOverride() {
  static std::FILE* input = nullptr;
  return input;
}

std::FILE* promptInput() {
  std::FILE* input = promptInputOverride();
  return input != nullptr ? input : stdin;
}

// One line of the user's answer without its line end; nullopt at the end of input.
std::optional<std::string> readAnswer() {
  std::FILE* input = promptInput();
  std::string line;
  bool gotAny = false;
  for (int c = std::fgetc(input); c != EOF; c = std::fgetc(input)) {
    gotAny = true;
    if (c == '\n') break;
    line.push_back(static_cast<char>(c));
  }
  if (!gotAny) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

bool isYes(std::string answer) {
  for (char& c : answer) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return answer == "y" || answer == "yes";
}

// A dot after the first character of the last component (".kup" alone is a name).
bool hasExtension(const std::string& path) {
  const std::size_t cut = path.rfind(platform::nativeSeparator());
  const std::string last = cut == std::string::npos ? path : path.substr(cut + 1);
  return last.find('.', 1) != std::string::npos;
}

}  // namespace

platform::FolderChoice promptForFolder(const char* title, const std::string& startFolder) {
  if (platform::hasSystemDialogs()) return platform::showFolderChooser(title);
  consoleWrite(title);
  consoleWrite("\n");
  const auto answer = readAnswer();
  if (!answer || answer->empty()) return {};
  return platform::folderFromArgument(*answer, startFolder);
}

std::optional<std::string> promptForArchiveName(const char* title,
                                                const char* filterName,
                                                const std::string& preset,
                                                const std::string& startFolder) {
  if (platform::hasSystemDialogs())
    return platform::showSaveDialog(title, filterName, preset);
  consoleWrite(title);
  consoleWrite("\n");
  for (;;) {
    consolePrint(tr("%s (*.kup) [%s]\n"), filterName,
                 platform::nativeToConsoleText(preset).c_str());
    const auto answer = readAnswer();
    if (!answer || answer->empty()) return std::nullopt;
    std::string path = platform::absolutePath(*answer, startFolder);
    if (!platform::isFolder(path) && !hasExtension(path)) path += ".kup";
    const std::string shown = platform::nativeToConsoleText(path);
    if (platform::isFolder(path)) {
      consolePrint(tr("%s is a folder. Enter a file name.\n"), shown.c_str());
      continue;
    }
    if (platform::pathExists(path)) {
      consolePrint(tr("%s already exists. Replace it? (y/N)\n"), shown.c_str());
      const auto consent = readAnswer();
      if (!consent || !isYes(*consent)) continue;
    }
    return path;
  }
}

void waitForKey() {
  if (platform::hasSystemDialogs()) {
    platform::systemKeyWait();
    return;
  }
  std::FILE* input = promptInput();
  if (!platform::isTerminal(input)) return;
  consoleWrite(tr("Press any key to continue . . ."));
  platform::readOneKey(input);
  consoleWrite("\n");
}

const char* startFolderRefusal() {
  if (platform::startsInProgramFolder())
    return tr("The folder that holds this program cannot be packed.\n");
  return tr(
      "The folder kupack was started in cannot be packed from the prompt; name it on the "
      "command line instead (kupack FOLDER).\n");
}

void setPromptInput(std::FILE* input) { promptInputOverride() = input; }

}  // namespace kupack
