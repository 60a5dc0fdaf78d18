// The kupack program: packs every file below one folder into one .kup archive, and reads
// archives back. With no arguments it asks for the folder and the archive name;
// `kupack FOLDER [ARCHIVE]` answers both from the command line, for terminals and scripts.
// The command line is read by getopt_long: options anywhere, `--` ends them, a long
// option's value as `--opt=value` or the next argument.
#include <getopt.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "app/dropped_archive.h"
#include "app/mount_command.h"
#include "app/pack_command.h"
#include "app/read_commands.h"
#include "common/console.h"
#include "platform/platform.h"

namespace {

constexpr char USAGE[] =
    "usage: kupack [-q] [--progress]      ask for the folder and the archive name\n"
    "       kupack [-q] [-j N] FOLDER [ARCHIVE]\n"
    "                                     pack FOLDER into ARCHIVE (default: FOLDER.kup\n"
    "                                     beside FOLDER)\n"
    "       kupack ARCHIVE.kup            extract ARCHIVE.kup into a new folder beside it\n"
    "       kupack -l|--list [--json] ARCHIVE\n"
    "                                     list the entries of ARCHIVE (--json: as JSON)\n"
    "       kupack -x|--extract [-f] ARCHIVE [DIR [NAME...]]\n"
    "                                     extract every entry, or the NAMEs, below DIR\n"
    "                                     (default: here); -f replaces existing files\n"
    "       kupack -p|--print ARCHIVE NAME...\n"
    "                                     write the named entries to standard output\n"
    "       kupack -t|--test ARCHIVE [FOLDER]\n"
    "                                     decode every entry; with FOLDER, compare with it\n"
    "       kupack --mount [-f] [-o cache=SIZE] ARCHIVE DIR\n"
    "                                     show ARCHIVE read-only as the folder DIR (FUSE, Linux);\n"
    "                                     -f stays in the foreground (Ctrl-C unmounts), else\n"
    "                                     fusermount3 -u DIR unmounts; SIZE: decoded bytes kept\n"
    "                                     in memory (default 64M)\n"
    "       kupack -h|--help              show this text\n"
    "       kupack --version              show the version\n"
    "options:\n"
    "  -q, --quiet         nothing on standard output but what -l and -p are asked for;\n"
    "                      failures still on standard error\n"
    "  --progress          show the packing progress figures even when standard output is\n"
    "                      no terminal\n"
    "  -j, --jobs=N        code up to N entries at once while packing (1 to 1024;\n"
    "                      default: one per processor core)\n"
    "  -f, --force         -x: replace existing files; --mount: stay in the foreground\n"
    "  -o, --options=cache=SIZE\n"
    "                      --mount: the decoded-entry cache (K, M, G suffixes)\n"
    "  --json              -l: a JSON array of {name, type, offset, stored_size, source_size}\n"
    "  --                  end of options: what follows is a folder or file name\n"
    "NAMEs are entry names as -l shows them ('\\' or '/' between folders, any letter case).\n";

int usageError(const std::string& problem) {
  std::fprintf(stderr, "kupack: %s\n%s", problem.c_str(), USAGE);
  return 2;
}

enum class Command { Pack, List, Extract, Print, Test, Mount, Help, Version };

struct CommandLine {
  Command command = Command::Pack;
  bool commandGiven = false;
  bool quiet = false;
  bool progress = false;
  bool force = false;
  bool json = false;
  std::optional<std::string> mountOption;
  std::optional<std::string> jobs;
  std::vector<std::string> operands;
};

enum LongOnly : int { OPT_MOUNT = 256, OPT_VERSION, OPT_JSON, OPT_PROGRESS };

constexpr option LONG_OPTIONS[] = {{"list", no_argument, nullptr, 'l'},
                                   {"extract", no_argument, nullptr, 'x'},
                                   {"print", no_argument, nullptr, 'p'},
                                   {"test", no_argument, nullptr, 't'},
                                   {"mount", no_argument, nullptr, OPT_MOUNT},
                                   {"help", no_argument, nullptr, 'h'},
                                   {"version", no_argument, nullptr, OPT_VERSION},
                                   {"quiet", no_argument, nullptr, 'q'},
                                   {"progress", no_argument, nullptr, OPT_PROGRESS},
                                   {"force", no_argument, nullptr, 'f'},
                                   {"foreground", no_argument, nullptr, 'f'},
                                   {"json", no_argument, nullptr, OPT_JSON},
                                   {"options", required_argument, nullptr, 'o'},
                                   {"jobs", required_argument, nullptr, 'j'},
                                   {nullptr, 0, nullptr, 0}};

constexpr char SHORT_OPTIONS[] = ":lxpthqfo:j:";

// What getopt_long refused: an unknown long option, a value given to a long option that
// takes none, or an unknown short option.
std::string unknownOptionProblem(char** argv) {
  const std::string word = argv[optind - 1];
  if (optopt == 0) return "unknown option " + word;
  if (word.rfind("--", 0) == 0) return word + ": the option takes no value";
  return std::string("unknown option -") + static_cast<char>(optopt);
}

bool setCommand(CommandLine& line, Command command, std::string& problem) {
  if (line.commandGiven && line.command != command) {
    problem = "only one of -l, -x, -p, -t, --mount, --help, --version at a time";
    return false;
  }
  line.command = command;
  line.commandGiven = true;
  return true;
}

// Reads the options and operands; a problem (plain text) on a command-line mistake.
std::optional<CommandLine> parseCommandLine(int argc, char** argv, std::string& problem) {
  CommandLine line;
  opterr = 0;
  for (;;) {
    const int code = getopt_long(argc, argv, SHORT_OPTIONS, LONG_OPTIONS, nullptr);
    if (code == -1) break;
    bool ok = true;
    switch (code) {
      case 'l':
        ok = setCommand(line, Command::List, problem);
        break;
      case 'x':
        ok = setCommand(line, Command::Extract, problem);
        break;
      case 'p':
        ok = setCommand(line, Command::Print, problem);
        break;
      case 't':
        ok = setCommand(line, Command::Test, problem);
        break;
      case OPT_MOUNT:
        ok = setCommand(line, Command::Mount, problem);
        break;
      case 'h':
        ok = setCommand(line, Command::Help, problem);
        break;
      case OPT_VERSION:
        ok = setCommand(line, Command::Version, problem);
        break;
      case 'q':
        line.quiet = true;
        break;
      case OPT_PROGRESS:
        line.progress = true;
        break;
      case 'f':
        line.force = true;
        break;
      case OPT_JSON:
        line.json = true;
        break;
      case 'o':
        line.mountOption = optarg;
        break;
      case 'j':
        line.jobs = optarg;
        break;
      case ':':
        problem = (optopt != 0 ? std::string("-") + static_cast<char>(optopt)
                               : std::string(argv[optind - 1])) +
                  " needs a value";
        return std::nullopt;
      default:
        problem = unknownOptionProblem(argv);
        return std::nullopt;
    }
    if (!ok) return std::nullopt;
  }
  line.operands.assign(argv + optind, argv + argc);
  for (const auto& operand : line.operands) {
    if (operand.empty()) {
      problem = "empty argument";
      return std::nullopt;
    }
  }
  return line;
}

// "N" of -j: a whole number from 1 up.
// More coding threads than this only cost memory: each may hold an entry's coded bytes.
constexpr unsigned long MAX_JOBS = 1024;

std::optional<unsigned> parseJobs(const std::string& text) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < 1 || value > MAX_JOBS) return std::nullopt;
  return static_cast<unsigned>(value);
}

// The options that only some commands take, refused elsewhere.
std::optional<std::string> misplacedOption(const CommandLine& line) {
  const Command c = line.command;
  if (line.force && c != Command::Extract && c != Command::Mount) return "-f";
  if (line.mountOption && c != Command::Mount) return "-o";
  if (line.json && c != Command::List) return "--json";
  if (line.jobs && c != Command::Pack) return "-j";
  if (line.progress && c != Command::Pack) return "--progress";
  return std::nullopt;
}

int pack(const CommandLine& line, const char* programName) {
  if (line.operands.size() > 2) return usageError("too many arguments");
  if (line.quiet && line.operands.empty())
    return usageError("-q needs a FOLDER (the interactive run asks its questions on the console)");
  kupack::ArchiveRunRequest request;
  request.programName = programName;
  if (line.jobs) {
    const auto jobs = parseJobs(*line.jobs);
    if (!jobs) return usageError("-j takes a whole number from 1 to 1024, not " + *line.jobs);
    request.jobs = *jobs;
  }
  // An archive dropped on the program is extracted beside itself.
  if (line.operands.size() == 1 && kupack::isDroppedArchive(line.operands[0]))
    return kupack::extractDroppedArchive(line.operands[0]);
  if (!line.operands.empty()) request.folderArgument = line.operands[0];
  if (line.operands.size() > 1) request.archiveArgument = line.operands[1];
  return kupack::runArchiveJob(request);
}

int mount(const CommandLine& line) {
  if (line.operands.size() != 2) return usageError("--mount takes an archive and a folder");
  kupack::MountArguments arguments;
  arguments.archive = line.operands[0];
  arguments.mountPoint = line.operands[1];
  arguments.foreground = line.force;
  if (line.mountOption) {
    const auto size = kupack::parseMountOption(*line.mountOption);
    if (!size)
      return usageError("unknown mount option " + *line.mountOption +
                        " (cache=SIZE, SIZE like 64M)");
    arguments.cacheBytes = *size;
  }
  return kupack::mountCommand(arguments);
}

std::vector<std::string> operandsFrom(const std::vector<std::string>& operands, std::size_t first) {
  if (first >= operands.size()) return {};
  return std::vector<std::string>(operands.begin() + static_cast<std::ptrdiff_t>(first),
                                  operands.end());
}

int run(const CommandLine& line, const char* programName) {
  const std::vector<std::string>& ops = line.operands;
  switch (line.command) {
    case Command::Help:
      std::fputs(USAGE, stdout);
      return 0;
    case Command::Version:
      std::printf("kupack %s\n", KUPACK_VERSION);
      return 0;
    case Command::Pack:
      return pack(line, programName);
    case Command::List:
      if (ops.size() != 1) return usageError("-l takes one archive");
      return kupack::listArchiveCommand(
          ops[0], line.json ? kupack::ListFormat::Json : kupack::ListFormat::Table);
    case Command::Extract:
      if (ops.empty()) return usageError("-x takes an archive, a folder and entry names");
      return kupack::extractArchiveCommand(ops[0], ops.size() > 1 ? ops[1] : std::string(),
                                           line.force, operandsFrom(ops, 2));
    case Command::Print:
      if (ops.size() < 2) return usageError("-p takes an archive and entry names");
      return kupack::printEntriesCommand(ops[0], operandsFrom(ops, 1));
    case Command::Test:
      if (ops.empty() || ops.size() > 2)
        return usageError("-t takes an archive and an optional folder");
      return kupack::testArchiveCommand(
          ops[0], ops.size() > 1 ? std::optional<std::string>(ops[1]) : std::nullopt);
    case Command::Mount:
      return mount(line);
  }
  return 2;
}

int runProgram(int argc, char** argv) {
  std::string problem;
  const auto line = parseCommandLine(argc, argv, problem);
  if (!line) return usageError(problem);
  if (const auto misplaced = misplacedOption(*line)) {
    return usageError(*misplaced + " does not go with this command");
  }
  // The listing is what -l is asked for; -q keeps only the other commands' messages off.
  kupack::setConsoleQuiet(line->quiet && line->command != Command::List);
  kupack::setConsoleProgress(line->progress || kupack::platform::outputIsTerminal());
  return run(*line, argc > 0 ? argv[0] : "");
}

}  // namespace

int main(int argc, char** argv) {
  // The arguments as native strings (on Windows the system's own, whatever its code page).
  std::vector<std::string> arguments = kupack::platform::commandLineArguments(argc, argv);
  std::vector<char*> words;
  for (std::string& argument : arguments) words.push_back(argument.data());
  words.push_back(nullptr);
  const int status = runProgram(static_cast<int>(arguments.size()), words.data());
  // Started from Explorer, the window stays until a key is pressed.
  kupack::platform::keepConsoleOpenAtExit();
  return status;
}
