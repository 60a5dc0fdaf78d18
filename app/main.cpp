// The kupack program: packs every file below one folder into one .kup archive.
// With no arguments it asks for the folder and the archive name; `kupack FOLDER [ARCHIVE]`
// answers both from the command line, for terminals and build scripts.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "archive/main_flow.h"

namespace {

constexpr char USAGE[] =
    "usage: kupack                     ask for the folder and the archive name\n"
    "       kupack FOLDER [ARCHIVE]    pack FOLDER into ARCHIVE (default: arc.kup in FOLDER)\n"
    "       kupack -h | --help         show this text\n"
    "       kupack --version           show the version\n";

int usageError(const std::string& problem) {
  std::fprintf(stderr, "kupack: %s\n%s", problem.c_str(), USAGE);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  kupack::ArchiveRunRequest request;
  request.programName = argc > 0 ? argv[0] : "";

  if (!args.empty() && args[0].size() > 1 && args[0][0] == '-') {
    const std::string_view option = args[0];
    if (option == "-h" || option == "--help") {
      std::fputs(USAGE, stdout);
      return 0;
    }
    if (option == "--version") {
      std::printf("kupack %s\n", KUPACK_VERSION);
      return 0;
    }
    return usageError("unknown option " + args[0]);
  }
  if (args.size() > 2) return usageError("too many arguments");
  for (const auto& arg : args) {
    if (arg.empty()) return usageError("empty argument");
    if (arg.size() > 1 && arg[0] == '-') return usageError("unexpected option " + arg);
  }
  if (!args.empty()) request.folderArgument = args[0];
  if (args.size() > 1) request.archiveArgument = args[1];
  return kupack::runArchiveJob(request);
}
