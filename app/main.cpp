// The kupack program: packs every file below one folder into one .kup archive, and reads
// archives back. With no arguments it asks for the folder and the archive name;
// `kupack FOLDER [ARCHIVE]` answers both from the command line, for terminals and scripts.
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/mount_command.h"
#include "app/pack_command.h"
#include "archive/reader_commands.h"

namespace {

constexpr char USAGE[] =
    "usage: kupack [-j N]                 ask for the folder and the archive name\n"
    "       kupack [-j N] FOLDER [ARCHIVE]\n"
    "                                     pack FOLDER into ARCHIVE (default: arc.kup in FOLDER);\n"
    "                                     -j, --jobs=N codes N entries at once (default: one\n"
    "                                     per processor core)\n"
    "       kupack -l|--list ARCHIVE      list the entries of ARCHIVE\n"
    "       kupack -x|--extract ARCHIVE [DIR] [-f]\n"
    "                                     extract every entry below DIR (default: here);\n"
    "                                     -f replaces existing files\n"
    "       kupack -t|--test ARCHIVE [FOLDER]\n"
    "                                     decode every entry; with FOLDER, compare with it\n"
    "       kupack --mount ARCHIVE DIR [-f] [-o cache=SIZE]\n"
    "                                     show ARCHIVE read-only as the folder DIR (FUSE, Linux);\n"
    "                                     -f stays in the foreground (Ctrl-C unmounts), else\n"
    "                                     fusermount3 -u DIR unmounts; SIZE: decoded bytes kept\n"
    "                                     in memory (default 64M)\n"
    "       kupack -h|--help              show this text\n"
    "       kupack --version              show the version\n";

int usageError(const std::string& problem) {
  std::fprintf(stderr, "kupack: %s\n%s", problem.c_str(), USAGE);
  return 2;
}

bool isOption(const std::string& arg) { return arg.size() > 1 && arg[0] == '-'; }

constexpr unsigned MAX_JOBS = 1024;

// Takes `-j N`, `-jN` and `--jobs=N` (N from 1 to MAX_JOBS) out of `args` into `jobs`.
// False, with `problem` set, for a malformed or repeated one.
bool takeJobsOption(std::vector<std::string>& args, unsigned& jobs, std::string& problem) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string value;
    std::size_t used = 1;
    if (args[i] == "-j" || args[i] == "--jobs") {
      if (i + 1 == args.size()) return problem = args[i] + " needs a number", false;
      value = args[i + 1];
      used = 2;
    } else if (args[i].rfind("--jobs=", 0) == 0) {
      value = args[i].substr(7);
    } else if (args[i].rfind("-j", 0) == 0) {
      value = args[i].substr(2);
    } else {
      continue;
    }
    if (jobs != 0) return problem = "-j given twice", false;
    unsigned long number = 0;
    const bool digits = !value.empty() && value.size() <= 5 &&
                        value.find_first_not_of("0123456789") == std::string::npos;
    if (digits) number = std::stoul(value);
    if (!digits || number == 0 || number > MAX_JOBS)
      return problem = "-j takes a number from 1 to " + std::to_string(MAX_JOBS), false;
    jobs = static_cast<unsigned>(number);
    args.erase(args.begin() + static_cast<std::ptrdiff_t>(i),
               args.begin() + static_cast<std::ptrdiff_t>(i + used));
    --i;
  }
  return true;
}

// `kupack -x ARCHIVE [DIR] [-f]`, the -f anywhere after the option.
int extract(const std::vector<std::string>& args) {
  bool force = false;
  std::vector<std::string> operands;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "-f" || args[i] == "--force") {
      force = true;
    } else if (isOption(args[i])) {
      return usageError("unexpected option " + args[i]);
    } else {
      operands.push_back(args[i]);
    }
  }
  if (operands.empty() || operands.size() > 2)
    return usageError("-x takes an archive and an optional folder");
  return kupack::extractArchiveCommand(operands[0],
                                       operands.size() > 1 ? operands[1] : std::string(), force);
}

// The reading options, each with one or two operands.
int readArchive(const std::vector<std::string>& args) {
  const std::string& option = args[0];
  if (option == "-x" || option == "--extract") return extract(args);
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (isOption(args[i])) return usageError("unexpected option " + args[i]);
  }
  if (option == "-l" || option == "--list") {
    if (args.size() != 2) return usageError("-l takes one archive");
    return kupack::listArchiveCommand(args[1]);
  }
  if (args.size() < 2 || args.size() > 3)
    return usageError("-t takes an archive and an optional folder");
  return kupack::testArchiveCommand(
      args[1], args.size() > 2 ? std::optional<std::string>(args[2]) : std::nullopt);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  for (const auto& arg : args) {
    if (arg.empty()) return usageError("empty argument");
  }
  unsigned jobs = 0;
  if (std::string problem; !takeJobsOption(args, jobs, problem)) return usageError(problem);
  if (jobs != 0 && !args.empty() && isOption(args[0]))
    return usageError("-j applies to packing only");

  if (!args.empty() && isOption(args[0])) {
    const std::string_view option = args[0];
    if (option == "-h" || option == "--help") {
      std::fputs(USAGE, stdout);
      return 0;
    }
    if (option == "--version") {
      std::printf("kupack %s\n", KUPACK_VERSION);
      return 0;
    }
    if (option == "-l" || option == "--list" || option == "-x" || option == "--extract" ||
        option == "-t" || option == "--test") {
      return readArchive(args);
    }
    if (option == "--mount") return kupack::mountCommand(args, usageError);
    return usageError("unknown option " + args[0]);
  }

  kupack::ArchiveRunRequest request;
  request.programName = argc > 0 ? argv[0] : "";
  request.jobs = jobs;
  if (args.size() > 2) return usageError("too many arguments");
  for (const auto& arg : args) {
    if (isOption(arg)) return usageError("unexpected option " + arg);
  }
  if (!args.empty()) request.folderArgument = args[0];
  if (args.size() > 1) request.archiveArgument = args[1];
  return kupack::runArchiveJob(request);
}
