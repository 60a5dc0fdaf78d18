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
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "app/catalogue.h"
#include "app/diff_command.h"
#include "app/dropped_archive.h"
#include "app/mount_command.h"
#include "app/pack_command.h"
#include "app/read_commands.h"
#include "app/update_command.h"
#include "common/console.h"
#include "platform/platform.h"

namespace {

using kupack::formatText;
using kupack::tr;

// The usage text (--help, and after a command-line mistake).
const char* usage() {
  return tr(
      "usage: kupack [-q] [--progress]      ask for the folder and the archive name\n"
      "       kupack [-q] [-j N] [--exclude=PATTERN...] FOLDER [ARCHIVE]\n"
      "                                     pack FOLDER into ARCHIVE (default: FOLDER.kup\n"
      "                                     beside FOLDER)\n"
      "       kupack ARCHIVE.kup            extract ARCHIVE.kup into a new folder beside it\n"
      "       kupack -l|--list [--json] [--long] ARCHIVE [NAME...]\n"
      "                                     list the entries of ARCHIVE, or those NAMEs select\n"
      "                                     (--json: as JSON; --long: with each one's CRC-32)\n"
      "       kupack -x|--extract [-f] ARCHIVE [NAME...] [-C DIR]\n"
      "                                     extract every entry, or those NAMEs select, below\n"
      "                                     DIR (default: here); -f replaces existing files\n"
      "       kupack -p|--print ARCHIVE NAME...\n"
      "                                     write the selected entries to standard output\n"
      "       kupack -t|--test [--exclude=PATTERN...] ARCHIVE [FOLDER]\n"
      "                                     decode every entry; with FOLDER, compare with it\n"
      "                                     (exit 0: all match, 1: differs, 2: broken archive\n"
      "                                     or unreadable file)\n"
      "       kupack --diff [--json] OLD NEW\n"
      "                                     name the entries added, removed, changed and coded\n"
      "                                     otherwise (exit 0: same, 1: differ, 2: trouble)\n"
      "       kupack --mount [-f] [-o cache=SIZE] ARCHIVE DIR\n"
      "                                     show ARCHIVE read-only as the folder DIR (FUSE, "
      "Linux);\n"
      "                                     -f stays in the foreground (Ctrl-C unmounts), else\n"
      "                                     fusermount3 -u DIR unmounts; SIZE: decoded bytes kept\n"
      "                                     in memory (default 64M)\n"
      "       kupack -u|--update [-n] [-j N] ARCHIVE FOLDER\n"
      "                                     put every file below FOLDER into ARCHIVE: it replaces\n"
      "                                     the entry of the same name or is added; the other\n"
      "                                     entries are copied as they are, never re-coded. The\n"
      "                                     result is what packing the merged tree gives; an\n"
      "                                     archive whose order is not the walk order keeps its\n"
      "                                     order, new entries go where a walk would put them\n"
      "       kupack --delete [-n] ARCHIVE NAME|PATTERN...\n"
      "                                     remove the entries named (as -x names them); one\n"
      "                                     that matches nothing is an error and nothing changes\n"
      "       kupack -h|--help              show this text\n"
      "       kupack --version              show the version\n"
      "options:\n"
      "  -q, --quiet         nothing on standard output but what -l and -p are asked for;\n"
      "                      failures still on standard error\n"
      "  --progress          show the packing progress figures even when standard output is\n"
      "                      no terminal\n"
      "  -j, --jobs=N        code up to N entries at once while packing or updating, decode\n"
      "                      up to N at once for -x, -p and -t (1 to 1024; default: one per\n"
      "                      processor core)\n"
      "  --exclude=PATTERN   packing: leave out the files and folders PATTERN matches\n"
      "                      (repeatable; one level: its name anywhere, '*.db', '.git';\n"
      "                      more levels: from the folder down, 'gfx/*.psd')\n"
      "  --exclude-from=FILE packing: the patterns of FILE, one a line\n"
      "                      (-t FOLDER: those files are not looked for in the archive)\n"
      "  -C, --directory=DIR -x: extract below DIR (made when missing)\n"
      "  -f, --force         -x: replace existing files; --mount: stay in the foreground\n"
      "  -o, --options=cache=SIZE\n"
      "                      --mount: the decoded-entry cache (K, M, G suffixes)\n"
      "  --json              -l: a JSON array of {name, name_bytes, type, offset, stored_size,\n"
      "                      source_size, duplicate} (--long adds crc32); name_bytes: the\n"
      "                      recorded bytes in hex; --diff: a JSON object; -n: a JSON array\n"
      "                      of {action, name, type, stored_size, source_size}\n"
      "  --long              -l: the CRC-32 of each entry's decoded bytes (as -x writes them)\n"
      "  -n, --dry-run       -u, --delete: list what would be added, replaced, deleted and\n"
      "                      kept (-l's columns, or --json), and write nothing\n"
      "  --                  end of options: what follows is a folder or file name\n"
      "NAMEs are entry names as -l shows them ('\\' or '/' between folders, any letter case),\n"
      "folders of the archive (everything below them) or patterns: '*' and '?' within a\n"
      "level, '**' as a level for any number of levels, '[...]' one of a set.\n"
      "Two entries of one name: every reader takes the first; -x, -p, -t and -l name the\n"
      "later ones on standard error (-x, -p and -t then exit 1), the mount leaves them out.\n");
}

// The command-line mistake `problem` (console text), then the usage text, on standard error.
int usageError(const std::string& problem) {
  kupack::consoleErrorPrint(tr("kupack: %s\n"), problem.c_str());
  kupack::consoleError(usage());
  return 2;
}

// A command-line word (native) as console text.
std::string shown(const std::string& native) {
  return kupack::platform::nativeToConsoleText(native);
}

enum class Command { Pack, List, Extract, Print, Test, Mount, Diff, Help, Version, Update, Delete };

struct CommandLine {
  Command command = Command::Pack;
  bool commandGiven = false;
  bool quiet = false;
  bool progress = false;
  bool force = false;
  bool json = false;
  bool dryRun = false;
  bool longList = false;
  std::optional<std::string> directory;
  std::vector<std::string> excludes;
  std::vector<std::string> excludeFiles;
  std::optional<std::string> mountOption;
  std::optional<std::string> jobs;
  std::vector<std::string> operands;
};

enum LongOnly : int { OPT_MOUNT = 256, OPT_VERSION, OPT_JSON, OPT_PROGRESS, OPT_DELETE };
enum SelectionLongOnly : int { OPT_LONG = 320, OPT_DIFF, OPT_EXCLUDE, OPT_EXCLUDE_FROM };

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
                                   {"update", no_argument, nullptr, 'u'},
                                   {"delete", no_argument, nullptr, OPT_DELETE},
                                   {"dry-run", no_argument, nullptr, 'n'},
                                   {"directory", required_argument, nullptr, 'C'},
                                   {"long", no_argument, nullptr, OPT_LONG},
                                   {"diff", no_argument, nullptr, OPT_DIFF},
                                   {"exclude", required_argument, nullptr, OPT_EXCLUDE},
                                   {"exclude-from", required_argument, nullptr, OPT_EXCLUDE_FROM},
                                   {nullptr, 0, nullptr, 0}};

constexpr char SHORT_OPTIONS[] = ":lxpthqfo:j:unC:";

// What getopt_long refused: an unknown long option, a value given to a long option that
// takes none, or an unknown short option.
std::string unknownOptionProblem(char** argv) {
  const std::string word = argv[optind - 1];
  if (optopt == 0) return formatText(tr("unknown option %s"), shown(word).c_str());
  if (word.rfind("--", 0) == 0) {
    return formatText(tr("%s: the option takes no value"), shown(word).c_str());
  }
  return formatText(tr("unknown option -%c"), optopt);
}

bool setCommand(CommandLine& line, Command command, std::string& problem) {
  if (line.commandGiven && line.command != command) {
    problem = tr(
        "only one of -l, -x, -p, -t, -u, --delete, --diff, --mount, --help, --version at a time");
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
      case 'u':
        ok = setCommand(line, Command::Update, problem);
        break;
      case OPT_DELETE:
        ok = setCommand(line, Command::Delete, problem);
        break;
      case 'n':
        line.dryRun = true;
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
      case 'C':
        line.directory = optarg;
        break;
      case OPT_LONG:
        line.longList = true;
        break;
      case OPT_DIFF:
        ok = setCommand(line, Command::Diff, problem);
        break;
      case OPT_EXCLUDE:
        line.excludes.push_back(optarg);
        break;
      case OPT_EXCLUDE_FROM:
        line.excludeFiles.push_back(optarg);
        break;
      case ':':
        problem = formatText(
            tr("%s needs a value"),
            (optopt != 0 ? std::string("-") + static_cast<char>(optopt) : shown(argv[optind - 1]))
                .c_str());
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
      problem = tr("empty argument");
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

// The -j of the command line: 0 when none is given (one thread a processor core), nullopt
// when its value is no whole number from 1 to 1024 (jobsError says so).
std::optional<unsigned> jobsOf(const CommandLine& line) {
  if (!line.jobs) return 0u;
  return parseJobs(*line.jobs);
}

int jobsError(const CommandLine& line) {
  return usageError(formatText(tr("-j takes a whole number from 1 to 1024, not %s"),
                               shown(line.jobs.value_or(std::string())).c_str()));
}

// The options that only some commands take, refused elsewhere.
std::optional<std::string> misplacedOption(const CommandLine& line) {
  const Command c = line.command;
  if (line.force && c != Command::Extract && c != Command::Mount) return "-f";
  if (line.mountOption && c != Command::Mount) return "-o";
  const bool updating = c == Command::Update || c == Command::Delete;
  if (line.json && c != Command::List && c != Command::Diff && !(updating && line.dryRun))
    return "--json";
  if (line.longList && c != Command::List) return "--long";
  if (line.directory && c != Command::Extract) return "-C";
  const bool excluding = c == Command::Pack || c == Command::Test;
  if (!line.excludes.empty() && !excluding) return "--exclude";
  if (!line.excludeFiles.empty() && !excluding) return "--exclude-from";
  const bool threaded = c == Command::Pack || c == Command::Update || c == Command::Extract ||
                        c == Command::Test || c == Command::Print;
  if (line.jobs && !threaded) return "-j";
  if (line.dryRun && !updating) return "-n";
  if (line.progress && c != Command::Pack) return "--progress";
  return std::nullopt;
}

int pack(const CommandLine& line, const char* programName) {
  if (line.operands.size() > 2) return usageError(tr("too many arguments"));
  if (line.quiet && line.operands.empty())
    return usageError(
        tr("-q needs a FOLDER (the interactive run asks its questions on the console)"));
  kupack::ArchiveRunRequest request;
  request.programName = programName;
  const std::optional<unsigned> jobs = jobsOf(line);
  if (!jobs) return jobsError(line);
  request.jobs = *jobs;
  // An archive dropped on the program is extracted beside itself.
  if (line.operands.size() == 1 && kupack::isDroppedArchive(line.operands[0]))
    return kupack::extractDroppedArchive(line.operands[0]);
  if (!line.operands.empty()) request.folderArgument = line.operands[0];
  if (line.operands.size() > 1) request.archiveArgument = line.operands[1];
  std::string problem;
  auto excludes = kupack::readExcludeRules(line.excludes, line.excludeFiles, problem);
  if (!excludes) return usageError(problem);
  request.excludes = std::move(*excludes);
  return kupack::runArchiveJob(request);
}

int update(const CommandLine& line, const char* programName) {
  kupack::UpdateArguments arguments;
  arguments.programName = programName;
  if (line.command == Command::Update) {
    if (line.operands.size() != 2) return usageError(tr("-u takes an archive and a folder"));
    arguments.folder = line.operands[1];
  } else {
    if (line.operands.size() < 2)
      return usageError(tr("--delete takes an archive and entry names"));
    arguments.deleteNames.assign(line.operands.begin() + 1, line.operands.end());
  }
  arguments.archive = line.operands[0];
  const std::optional<unsigned> jobs = jobsOf(line);
  if (!jobs) return jobsError(line);
  arguments.jobs = *jobs;
  arguments.dryRun = line.dryRun;
  arguments.format = line.json ? kupack::ListFormat::Json : kupack::ListFormat::Table;
  return kupack::updateArchiveCommand(arguments);
}

int test(const CommandLine& line) {
  const std::vector<std::string>& ops = line.operands;
  if (ops.empty() || ops.size() > 2)
    return usageError(tr("-t takes an archive and an optional folder"));
  std::string problem;
  const auto excludes = kupack::readExcludeRules(line.excludes, line.excludeFiles, problem);
  if (!excludes) return usageError(problem);
  const std::optional<unsigned> jobs = jobsOf(line);
  if (!jobs) return jobsError(line);
  return kupack::testArchiveCommand(
      ops[0], ops.size() > 1 ? std::optional<std::string>(ops[1]) : std::nullopt, &*excludes, *jobs);
}

int extract(const CommandLine& line) {
  const std::vector<std::string>& ops = line.operands;
  if (ops.empty()) return usageError(tr("-x takes an archive and entry names (-C DIR: where)"));
  const std::optional<unsigned> jobs = jobsOf(line);
  if (!jobs) return jobsError(line);
  return kupack::extractArchiveCommand(ops[0], line.directory.value_or(std::string()), line.force,
                                       std::vector<std::string>(ops.begin() + 1, ops.end()), *jobs);
}

int mount(const CommandLine& line) {
  if (line.operands.size() != 2) return usageError(tr("--mount takes an archive and a folder"));
  kupack::MountArguments arguments;
  arguments.archive = line.operands[0];
  arguments.mountPoint = line.operands[1];
  arguments.foreground = line.force;
  if (line.mountOption) {
    const auto size = kupack::parseMountOption(*line.mountOption);
    if (!size)
      return usageError(formatText(tr("unknown mount option %s (cache=SIZE, SIZE like 64M)"),
                                   shown(*line.mountOption).c_str()));
    arguments.cacheBytes = *size;
  }
  return kupack::mountCommand(arguments);
}

std::vector<std::string> operandsFrom(const std::vector<std::string>& operands, std::size_t first) {
  if (first >= operands.size()) return {};
  return std::vector<std::string>(operands.begin() + static_cast<std::ptrdiff_t>(first),
                                  operands.end());
}

int print(const CommandLine& line) {
  const std::optional<unsigned> jobs = jobsOf(line);
  if (!jobs) return jobsError(line);
  return kupack::printEntriesCommand(line.operands[0], operandsFrom(line.operands, 1), *jobs);
}

int run(const CommandLine& line, const char* programName) {
  const std::vector<std::string>& ops = line.operands;
  switch (line.command) {
    case Command::Help:
      kupack::platform::writeConsole(usage());
      return 0;
    case Command::Version:
      std::printf("kupack %s\n", KUPACK_VERSION);
      return 0;
    case Command::Pack:
      return pack(line, programName);
    case Command::List:
      if (ops.empty()) return usageError(tr("-l takes an archive and entry names"));
      return kupack::listArchiveCommand(
          ops[0], line.json ? kupack::ListFormat::Json : kupack::ListFormat::Table,
          operandsFrom(ops, 1), line.longList);
    case Command::Extract:
      return extract(line);
    case Command::Diff:
      if (ops.size() != 2) return usageError(tr("--diff takes two archives"));
      return kupack::diffArchivesCommand(ops[0], ops[1], line.json);
    case Command::Print:
      if (ops.size() < 2) return usageError(tr("-p takes an archive and entry names"));
      return print(line);
    case Command::Test:
      return test(line);
    case Command::Mount:
      return mount(line);
    case Command::Update:
    case Command::Delete:
      return update(line, programName);
  }
  return 2;
}

// A command's exit status once standard output has been flushed: a listing, a summary or
// help text that could not all be written (a full disk, /dev/full) is a failure, said on
// standard error. Packing keeps its status: its archive is complete whatever became of its
// console lines (a reader that went away, `| head`), so the lost lines are only reported.
int withOutputChecked(int status, Command command) {
  if (command == Command::Print) return status;  // checks every write itself
  const int error = kupack::finishConsoleOutput();
  if (error == 0) return status;
  kupack::consoleErrorPrint(tr("kupack: cannot write to standard output (%s)\n"),
                            shown(std::strerror(error)).c_str());
  if (command == Command::Pack || status == 2) return status;
  return 1;
}

int runProgram(int argc, char** argv) {
  kupack::chooseLanguage();
  std::string problem;
  const auto line = parseCommandLine(argc, argv, problem);
  if (!line) return usageError(problem);
  if (const auto misplaced = misplacedOption(*line)) {
    return usageError(formatText(tr("%s does not go with this command"), misplaced->c_str()));
  }
  // The listing is what -l is asked for; -q keeps only the other commands' messages off.
  kupack::setConsoleQuiet(line->quiet && line->command != Command::List && !line->dryRun);
  kupack::setConsoleProgress(line->progress || kupack::platform::outputIsTerminal());
  const int status = run(*line, argc > 0 ? argv[0] : "");
  return withOutputChecked(status, line->command);
}

}  // namespace

int main(int argc, char** argv) {
  // Console text reaches the terminal as it expects it (UTF-8 on a UTF-8 POSIX locale).
  kupack::setConsoleWriters(&kupack::platform::writeConsole, &kupack::platform::writeConsoleError);
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
