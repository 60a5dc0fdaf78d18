// SPB benchmark: codes large 24-bit bitmaps and compares with zstd -3 -T1 on the same files.
//   spb_bench [FOLDER] [--png]
// FOLDER defaults to /tmp/kup-bench-corpus/bmp24, then to the bundled examples/assets.
// Reports per file: the coder alone (picture in memory, stream bytes counted) and the coder
// reading the picture from its file a band at a time, in MB/s of the file, the coded size as
// a share of the file, zstd's in-memory speed and size (zstd -b3); then a whole pass over
// all files as the archiver codes them into one archive file on one thread, against the
// zstd program doing -3 -T1 on the same files. --png adds the size of each file as PNG
// (ImageMagick).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "archive/bitmap_file.h"
#include "archive/copy_stream.h"
#include "archive/entry_encoder.h"
#include "platform/platform.h"
#include "archive/file_streams.h"
#include "codec/bitmap.h"
#include "codec/spb.h"
#include "codec/spb_decoder.h"
#include "common/console.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double megabytesPerSecond(std::uint64_t bytes, double seconds) {
  return seconds > 0 ? static_cast<double>(bytes) / 1e6 / seconds : 0;
}

std::string shellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// Runs a shell command and returns what it printed (both streams).
std::string runAndCapture(const std::string& command, const fs::path& scratch) {
  const fs::path output = scratch / "command-output.txt";
  if (std::system((command + " > " + shellQuote(output.string()) + " 2>&1").c_str()) != 0) {
    return {};
  }
  std::ifstream in(output, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// zstd's own in-memory figures for one file: compressed size and compression speed.
struct ZstdFigures {
  std::uint64_t size = 0;
  double megabytesPerSecond = 0;
};

ZstdFigures zstdInMemory(const fs::path& file, const fs::path& scratch) {
  const std::string output =
      runAndCapture("zstd -b3 -T1 -i2 " + shellQuote(file.string()), scratch);
  // The last report line: "name : 5292054 -> 3375894 (x1.568), 121.1 MB/s, ..."
  static const std::regex line(R"((\d+) -> +(\d+) \([^)]*\), +([0-9.]+) MB/s)");
  ZstdFigures figures;
  for (auto it = std::sregex_iterator(output.begin(), output.end(), line);
       it != std::sregex_iterator(); ++it) {
    figures.size = std::stoull((*it)[2]);
    figures.megabytesPerSecond = std::stod((*it)[3]);
  }
  return figures;
}

std::uint64_t pngSize(const fs::path& file, const fs::path& scratch) {
  const fs::path png = scratch / "picture.png";
  const std::string command =
      "convert " + shellQuote(file.string()) + " png:" + shellQuote(png.string()) + " 2>/dev/null";
  if (std::system(command.c_str()) != 0 || !fs::exists(png)) return 0;
  return fs::file_size(png);
}

// Counts the bytes of a stream and drops them.
class CountingSink final : public kupack::ByteSink {
 public:
  bool put(std::span<const std::uint8_t> bytes) override {
    count += bytes.size();
    return true;
  }
  std::size_t count = 0;
};

// The best time of several passes of `code` (which returns the stream's size).
template <class Code>
double bestOf(Code code, std::size_t& streamSize) {
  double best = 1e9;
  double total = 0;
  for (int pass = 0; pass < 10 && (pass < 3 || total < 1.0); ++pass) {
    const auto start = Clock::now();
    streamSize = code();
    const double seconds = secondsSince(start);
    best = std::min(best, seconds);
    total += seconds;
  }
  return best;
}

// The coder alone: the picture in memory, the stream's bytes counted.
double timeCoder(const kupack::SpbSource& picture, std::size_t& streamSize) {
  return bestOf(
      [&] {
        CountingSink sink;
        kupack::encodeSpb(picture, sink);
        return sink.count;
      },
      streamSize);
}

// The coder over the file's rows, read a band at a time as a packing run reads them.
double timeCoderFromFile(const fs::path& file, std::size_t& streamSize) {
  return bestOf(
      [&] {
        CountingSink sink;
        kupack::BitmapFile bitmap;
        kupack::BitmapVerdict verdict;
        if (!bitmap.open(file.string(), verdict).isOk()) return std::size_t{0};
        kupack::encodeSpb(bitmap.rows(), sink);
        return sink.count;
      },
      streamSize);
}

// The whole file in memory, for the parser to view the picture in.
std::vector<std::uint8_t> readWhole(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// One archiver-like pass on one thread: for each file its headers, its load and its stream
// appended to the archive.
bool archiverPass(const std::vector<fs::path>& files, const fs::path& scratch) {
  std::unique_ptr<kupack::platform::WritableFile> archive;
  if (!kupack::platform::realFileSystem().createUnique((scratch / "arc").string(), ".kup", nullptr,
                                                       archive))
    return false;
  struct Removed {
    const std::string& path;
    ~Removed() { kupack::platform::removeFile(path); }
  } removed{archive->path()};
  kupack::WritableFileSink sink(*archive);
  kupack::SilentPackListener quiet;
  for (const fs::path& file : files) {
    const kupack::EncodedEntry entry = kupack::encodeEntry({"p.bmp", file.string()}, sink, quiet);
    if (!entry.status.isOk() || entry.type != kupack::ENTRY_SPB) return false;
  }
  return archive->close().isOk();
}

}  // namespace

int main(int argc, char** argv) {
  fs::path folder = "/tmp/kup-bench-corpus/bmp24";
  bool withPng = false;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--png") {
      withPng = true;
    } else {
      folder = argv[i];
    }
  }
  if (argc < 2 && !fs::is_directory(folder)) {
    folder = fs::path(__FILE__).parent_path().parent_path() / "examples" / "assets";
  }
  std::vector<fs::path> files;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    if (entry.is_regular_file() && name.size() > 4 && name.substr(name.size() - 4) == ".bmp") {
      kupack::BitmapFile image;
      if (image.readHeaders(entry.path().string()) && image.image().biBitCount() == 24) {
        files.push_back(entry.path());
      }
    }
  }
  std::sort(files.begin(), files.end());
  if (files.empty()) {
    std::cerr << "no 24-bit bitmaps in " << folder << "\n";
    return 1;
  }
  const fs::path scratch = fs::temp_directory_path() / "kupack-spb-bench";
  fs::create_directories(scratch);
  const bool haveZstd = std::system("zstd --version >/dev/null 2>&1") == 0;

  std::printf("%-30s %10s | %9s %9s %7s | %9s %7s%s\n", "file", "bytes", "SPB MB/s", "from file",
              "SPB %", "zstd MB/s", "zstd %", withPng ? " |   PNG %" : "");
  std::uint64_t inputTotal = 0, spbTotal = 0, zstdTotal = 0, pngTotal = 0;
  double spbSeconds = 0, fileSeconds = 0, zstdSeconds = 0, decodeSeconds = 0, checkSeconds = 0;
  for (const fs::path& file : files) {
    const std::uint64_t size = fs::file_size(file);
    std::vector<std::uint8_t> bytes = readWhole(file);
    kupack::BitmapImage image;
    if (image.parseBitmap(bytes) != kupack::BitmapVerdict::CodeAsSpb) {
      std::printf("%-30s not coded\n", file.filename().c_str());
      continue;
    }
    std::size_t streamSize = 0;
    std::size_t fileStreamSize = 0;
    const double seconds = timeCoder(image.picture(), streamSize);
    const double secondsFromFile = timeCoderFromFile(file, fileStreamSize);
    if (fileStreamSize != streamSize) {
      std::fprintf(stderr, "%s: the stream from the file differs\n", file.c_str());
      return 1;
    }
    fileSeconds += secondsFromFile;
    // The decoder, checking the stream and keeping the picture in one pass (as -x does for
    // pictures that fit its budget) and checking it alone (as -t does).
    const std::vector<std::uint8_t> stream = kupack::encodeSpbToMemory(image.picture());
    std::size_t ignored = 0;
    decodeSeconds += bestOf(
        [&] {
          kupack::SpanPositionedSource source(stream);
          kupack::SpbRowDecoder decoder(source);
          std::vector<std::uint8_t> pixels;
          if (!decoder.check(&pixels)) std::exit(1);
          return pixels.size();
        },
        ignored);
    checkSeconds += bestOf(
        [&] {
          kupack::SpanPositionedSource source(stream);
          kupack::SpbRowDecoder decoder(source);
          if (!decoder.check()) std::exit(1);
          return std::size_t{0};
        },
        ignored);
    const ZstdFigures zstd = haveZstd ? zstdInMemory(file, scratch) : ZstdFigures{};
    inputTotal += size;
    spbTotal += streamSize;
    spbSeconds += seconds;
    zstdTotal += zstd.size;
    if (zstd.megabytesPerSecond > 0)
      zstdSeconds += static_cast<double>(size) / 1e6 / zstd.megabytesPerSecond;
    std::printf("%-30s %10llu | %9.1f %9.1f %6.1f%% | %9.1f %6.1f%%", file.filename().c_str(),
                static_cast<unsigned long long>(size), megabytesPerSecond(size, seconds),
                megabytesPerSecond(size, secondsFromFile),
                100.0 * static_cast<double>(streamSize) / static_cast<double>(size),
                zstd.megabytesPerSecond,
                100.0 * static_cast<double>(zstd.size) / static_cast<double>(size));
    if (withPng) {
      const std::uint64_t png = pngSize(file, scratch);
      pngTotal += png;
      std::printf(" | %6.1f%%", 100.0 * static_cast<double>(png) / static_cast<double>(size));
    }
    std::printf("\n");
    std::fflush(stdout);
  }
  const auto share = [&](std::uint64_t part) {
    return 100.0 * static_cast<double>(part) / static_cast<double>(inputTotal);
  };
  std::printf("%-30s %10llu | %9.1f %9.1f %6.1f%% | %9.1f %6.1f%%", "all",
              static_cast<unsigned long long>(inputTotal),
              megabytesPerSecond(inputTotal, spbSeconds),
              megabytesPerSecond(inputTotal, fileSeconds), share(spbTotal),
              megabytesPerSecond(inputTotal, zstdSeconds), share(zstdTotal));
  if (withPng) std::printf(" | %6.1f%%", share(pngTotal));
  std::printf(
      "\n\nDecoding all (in memory, best of 3 each): %.1f MB/s of the files; "
      "checking alone %.1f MB/s\n",
      megabytesPerSecond(inputTotal, decodeSeconds), megabytesPerSecond(inputTotal, checkSeconds));
  std::printf("\nWhole pass over the %zu files (best of 3):\n", files.size());

  double archiverBest = 1e9;
  for (int pass = 0; pass < 3; ++pass) {
    const auto start = Clock::now();
    if (!archiverPass(files, scratch)) {
      std::fprintf(stderr, "archiver pass failed\n");
      return 1;
    }
    archiverBest = std::min(archiverBest, secondsSince(start));
  }
  std::printf("  kupack pipeline : %7.3f s  %7.1f MB/s\n", archiverBest,
              megabytesPerSecond(inputTotal, archiverBest));
  if (haveZstd) {
    std::string command =
        "zstd -3 -T1 -q -f --output-dir-flat " + shellQuote((scratch / "z").string());
    for (const fs::path& file : files) command += " " + shellQuote(file.string());
    fs::create_directories(scratch / "z");
    double zstdBest = 1e9;
    for (int pass = 0; pass < 3; ++pass) {
      const auto start = Clock::now();
      if (std::system(command.c_str()) != 0) break;
      zstdBest = std::min(zstdBest, secondsSince(start));
    }
    std::printf("  zstd -3 -T1     : %7.3f s  %7.1f MB/s\n", zstdBest,
                megabytesPerSecond(inputTotal, zstdBest));
  }
  fs::remove_all(scratch, error);
  return 0;
}
