// Speed of the LZSS coder against the exhaustive search it replaces, on palette bitmaps.
//
//   lzss_bench [folder ...]
//
// Codes every palette bitmap (1, 4 or 8 bits per pixel) found below the folders (default:
// the bundled examples/assets) in memory with the exhaustive oracle and with the coder, the
// coder once on one thread and once as kupack runs it (on two threads where a second core is
// free), checks that all give the same stream and that it decodes back, and prints MB/s of
// each and the ratios to the oracle. Then it times whole files: encodeEntry from file to file,
// and, when the zstd program is installed, `zstd -3 -T1` over the same files in one
// invocation. Ends with a few synthetic pictures that make long candidate chains.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "archive/entry_encoder.h"
#include "archive/file_streams.h"
#include "codec/lzss.h"
#include "codec/lzss_decoder.h"
#include "codec/lzss_search.h"
#include "codec/worker_pool.h"
#include "common/console.h"
#include "platform/platform.h"
#include "tests/lzss_oracle.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

struct Picture {
  fs::path path;
  std::string name;
  Bytes bytes;
};

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double megabytesPerSecond(std::uint64_t bytes, double seconds) {
  return seconds > 0 ? static_cast<double>(bytes) / 1e6 / seconds : 0.0;
}

Bytes readWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool isPaletteBitmap(const Bytes& bytes) {
  return bytes.size() >= 30 && bytes[0] == 'B' && bytes[1] == 'M' && bytes[29] == 0 &&
         (bytes[28] == 1 || bytes[28] == 4 || bytes[28] == 8);
}

std::vector<Picture> collectPictures(const std::vector<fs::path>& folders) {
  std::vector<Picture> pictures;
  for (const fs::path& folder : folders) {
    std::error_code error;
    for (const auto& entry : fs::recursive_directory_iterator(folder, error)) {
      if (!entry.is_regular_file()) continue;
      Bytes bytes = readWhole(entry.path());
      if (!isPaletteBitmap(bytes)) continue;
      pictures.push_back({entry.path(), entry.path().filename().string(), std::move(bytes)});
    }
    if (error)
      std::fprintf(stderr, "cannot read %s: %s\n", folder.string().c_str(),
                   error.message().c_str());
  }
  std::sort(pictures.begin(), pictures.end(),
            [](const Picture& a, const Picture& b) { return a.path < b.path; });
  return pictures;
}

Bytes codeWithCoder(const Bytes& source, bool twoThreads) {
  Bytes stream;
  kupack::SpanSource input(source);
  kupack::VectorSink output(stream);
  kupack::LzssTuning tuning;
  tuning.twoThreads = twoThreads;
  static kupack::WorkerPool worker(1);
  if (kupack::lzssCompressTuned(input, output, source.size(), nullptr, &worker,
                                kupack::LZSS_DEFAULT_BLOCK, tuning) != kupack::CodingResult::Done) {
    std::abort();
  }
  return stream;
}

// Fastest of several runs of the coder on one thread and as kupack runs it, taken in turns
// so that both see the same load; at least `minimum` seconds in all.
struct CoderTimes {
  double oneThread = 1e30;
  double asKupack = 1e30;
};
CoderTimes timeCoder(const Bytes& source, Bytes& stream, Bytes& oneThreadStream,
                     double minimum = 0.3) {
  CoderTimes best;
  double spent = 0;
  for (int run = 0; run < 3 || spent < minimum; ++run) {
    auto start = Clock::now();
    oneThreadStream = codeWithCoder(source, false);
    double seconds = secondsSince(start);
    best.oneThread = std::min(best.oneThread, seconds);
    spent += seconds;
    start = Clock::now();
    stream = codeWithCoder(source, true);
    seconds = secondsSince(start);
    best.asKupack = std::min(best.asKupack, seconds);
    spent += seconds;
  }
  return best;
}

struct Totals {
  std::uint64_t bytes = 0;
  std::uint64_t coded = 0;
  double oneThreadSeconds = 0;
  double coderSeconds = 0;
  double oracleSeconds = 0;
  double decodeSeconds = 0;  // the decoder, stream in memory to bytes in memory (best of 3)
};

// Codes each picture both ways; false when a stream differs or does not decode back.
bool compareInMemory(const std::vector<Picture>& pictures, Totals& totals) {
  bool allGood = true;
  std::printf("%-40s %9s %6s %8s %8s %8s %7s %7s\n", "picture", "bytes", "coded", "1 thread",
              "kupack", "oracle", "ratio 1", "ratio");
  std::printf("%-40s %9s %6s %8s %8s %8s %7s %7s\n", "", "", "", "MB/s", "MB/s", "MB/s", "", "");
  for (const Picture& picture : pictures) {
    Bytes stream;
    Bytes oneThreadStream;
    const CoderTimes coder = timeCoder(picture.bytes, stream, oneThreadStream);
    const auto start = Clock::now();
    const kupack::test::OracleLzss oracle = kupack::test::oracleLzss(picture.bytes);
    const double oracleSeconds = secondsSince(start);

    Bytes decoded;
    const bool same = stream == oracle.stream && oneThreadStream == oracle.stream;
    double decodeSeconds = 1e9;
    for (int pass = 0; pass < 3; ++pass) {
      const auto decodeStart = Clock::now();
      kupack::decodeLzss(stream, picture.bytes.size(), decoded);
      decodeSeconds = std::min(decodeSeconds, secondsSince(decodeStart));
    }
    totals.decodeSeconds += decodeSeconds;
    const bool back = kupack::decodeLzss(stream, picture.bytes.size(), decoded).isOk() &&
                      decoded == picture.bytes;
    allGood = allGood && same && back;

    const auto size = picture.bytes.size();
    std::printf("%-40s %9zu %5.1f%% %8.1f %8.1f %8.1f %6.1fx %6.1fx%s\n", picture.name.c_str(),
                size,
                100.0 * static_cast<double>(stream.size()) /
                    static_cast<double>(std::max<std::size_t>(1, size)),
                megabytesPerSecond(size, coder.oneThread), megabytesPerSecond(size, coder.asKupack),
                megabytesPerSecond(size, oracleSeconds), oracleSeconds / coder.oneThread,
                oracleSeconds / coder.asKupack,
                same ? (back ? "" : "  DOES NOT DECODE") : "  STREAM DIFFERS FROM ORACLE");
    totals.bytes += size;
    totals.coded += stream.size();
    totals.oneThreadSeconds += coder.oneThread;
    totals.coderSeconds += coder.asKupack;
    totals.oracleSeconds += oracleSeconds;
  }
  return allGood;
}

std::string shellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// Fastest of three runs of encodeEntry over every picture, file to file.
double timeFileCoder(const std::vector<Picture>& pictures, const fs::path& scratch) {
  double best = 1e30;
  kupack::SilentPackListener quiet;
  kupack::WorkerPool worker(1);
  for (int run = 0; run < 3; ++run) {
    const auto start = Clock::now();
    for (const Picture& picture : pictures) {
      std::unique_ptr<kupack::platform::WritableFile> out;
      if (!kupack::platform::realFileSystem().createUnique((scratch / "temp").string(), ".dat",
                                                           nullptr, out))
        return 0;
      kupack::WritableFileSink sink(*out);
      struct Removed {
        const std::string& path;
        ~Removed() { kupack::platform::removeFile(path); }
      } removed{out->path()};
      const kupack::Status status =
          kupack::encodeEntry({"p.bmp", picture.path.string()}, sink, quiet, &worker).status;
      if (!status.isOk()) {
        std::fprintf(stderr, "encodeLzss failed on %s\n", picture.path.string().c_str());
        return 0;
      }
    }
    best = std::min(best, secondsSince(start));
  }
  return best;
}

// Fastest of three runs of one zstd -3 -T1 invocation over every picture; 0 without zstd.
double timeZstd(const std::vector<Picture>& pictures, const fs::path& scratch) {
  if (std::system("zstd --version > /dev/null 2>&1") != 0) return 0;
  std::string command = "zstd -3 -T1 -q -f --output-dir-flat " + shellQuoted(scratch.string());
  for (const Picture& picture : pictures) command += " " + shellQuoted(picture.path.string());
  double best = 1e30;
  for (int run = 0; run < 3; ++run) {
    const auto start = Clock::now();
    if (std::system(command.c_str()) != 0) return 0;
    best = std::min(best, secondsSince(start));
  }
  return best;
}

// Pictures that make long chains of candidates sharing their first two bytes.
std::vector<Picture> syntheticPictures() {
  const std::size_t size = 4 << 20;
  std::vector<Picture> pictures;
  auto add = [&](const char* name, auto byteAt) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = byteAt(i);
    pictures.push_back({{}, name, std::move(bytes)});
  };
  std::uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 16;
  };
  add("synthetic: one colour", [](std::size_t) { return std::uint8_t{0}; });
  add("synthetic: two-colour noise",
      [&](std::size_t) { return static_cast<std::uint8_t>(next() & 1); });
  add("synthetic: four-colour noise",
      [&](std::size_t) { return static_cast<std::uint8_t>(next() & 3); });
  add("synthetic: period 16 with 1 in 8 changed",
      [&](std::size_t i) { return static_cast<std::uint8_t>(next() % 8 == 0 ? next() : i % 16); });
  add("synthetic: pair then noise (xyR xyR ...)", [&](std::size_t i) {
    return static_cast<std::uint8_t>(i % 3 == 0 ? 'x' : i % 3 == 1 ? 'y' : next());
  });
  add("synthetic: runs of 16 then a mark",
      [](std::size_t i) { return static_cast<std::uint8_t>(i % 17 == 16 ? 'b' : 'a'); });
  return pictures;
}

void printTotals(const char* label, const Totals& totals) {
  std::printf("%-40s %9llu %5.1f%% %8.1f %8.1f %8.1f %6.1fx %6.1fx\n", label,
              static_cast<unsigned long long>(totals.bytes),
              100.0 * static_cast<double>(totals.coded) /
                  static_cast<double>(std::max<std::uint64_t>(1, totals.bytes)),
              megabytesPerSecond(totals.bytes, totals.oneThreadSeconds),
              megabytesPerSecond(totals.bytes, totals.coderSeconds),
              megabytesPerSecond(totals.bytes, totals.oracleSeconds),
              totals.oracleSeconds / totals.oneThreadSeconds,
              totals.oracleSeconds / totals.coderSeconds);
  std::printf("%-40s decoding %8.1f MB/s\n", "",
              megabytesPerSecond(totals.bytes, totals.decodeSeconds));
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<fs::path> folders;
  for (int i = 1; i < argc; ++i) folders.emplace_back(argv[i]);
  if (folders.empty())
    folders.push_back(fs::path(__FILE__).parent_path().parent_path() / "examples" / "assets");

  // The coder's own console lines would drown the report.
  kupack::ConsoleCapture quiet([](std::string_view) {});

  const std::vector<Picture> pictures = collectPictures(folders);
  bool allGood = true;
  if (pictures.empty()) {
    std::printf("no palette bitmaps found below the given folders\n");
  } else {
    Totals totals;
    allGood = compareInMemory(pictures, totals) && allGood;
    printTotals("ALL PICTURES (in memory)", totals);
    std::printf("wide search: %s\n", kupack::lzssRowSearchAvailable()
                                         ? "candidate rows (512-bit compares)"
                                         : "slot ring (no 512-bit compares here)");

    const fs::path scratch = fs::temp_directory_path() / "kupack-lzss-bench";
    fs::create_directories(scratch);
    const double coderSeconds = timeFileCoder(pictures, scratch);
    const double zstdSeconds = timeZstd(pictures, scratch);
    fs::remove_all(scratch);
    std::printf("\nfile to file over all %zu pictures (%llu bytes):\n", pictures.size(),
                static_cast<unsigned long long>(totals.bytes));
    std::printf("  encodeEntry     %8.3f s %8.1f MB/s\n", coderSeconds,
                megabytesPerSecond(totals.bytes, coderSeconds));
    if (zstdSeconds > 0) {
      std::printf("  zstd -3 -T1     %8.3f s %8.1f MB/s   (coder time / zstd time: %.2f)\n",
                  zstdSeconds, megabytesPerSecond(totals.bytes, zstdSeconds),
                  coderSeconds / zstdSeconds);
    } else {
      std::printf("  zstd -3 -T1     not available\n");
    }
  }

  std::printf("\n");
  Totals synthetic;
  allGood = compareInMemory(syntheticPictures(), synthetic) && allGood;
  if (!allGood) {
    std::printf("\nFAILED: a stream differs from the oracle's or does not decode back\n");
    return 1;
  }
  return 0;
}
