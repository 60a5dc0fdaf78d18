// What a packing run reports while it works: the folders it walks, each entry's start, the
// coding chosen for it, progress, sizes, the joining of the data. The library only reports;
// the program turns the events into console text. An event is a plain value, so that a
// pipeline can hold an entry's events and hand them on later, in order.
#pragma once

#include <cstdint>
#include <string>

#include "codec/byte_stream.h"
#include "codec/entry_type.h"

namespace kupack {

struct PackEvent {
  enum class Kind {
    FolderEntered,  // path: the subfolder's native path, before its files
    FolderCycle,    // path: a subfolder that leads back to one being walked; not entered
    FolderLeft,     // path: the subfolder's native path, after its files
    LinkFollowed,    // path: the link's native path, detail: where it leads (as written)
    LinkToAncestor,  // path: a link to the packed folder or one above it; not entered
    SpecialSkipped,  // path: a pipe, socket or device; left out
    EntryStarted,   // path: the archive name; first: the entry's number from 1, second: of how many
    CodingChosen,   // coding
    CodingProgress,  // first: source bytes taken in so far, second: the source's size
    CopyProgress,    // first: bytes still to copy, second: bytes in all
    CopyDone,        // a copy has ended
    EntrySizes,      // first: the source's size, second: the entry's stored size
    Joining,         // the entry data are being appended to the archive
  };

  Kind kind;
  std::string path;
  std::uint64_t first = 0;
  std::uint64_t second = 0;
  EntryType coding = ENTRY_STORED;
  std::string detail{};  // LinkFollowed: where the link leads
};

// Receives the events of a packing run, in the order they happen, on the thread that runs
// the packing.
class PackListener {
 public:
  virtual ~PackListener() = default;
  virtual void onEvent(const PackEvent& event) = 0;
};

// A listener that drops every event.
class SilentPackListener final : public PackListener {
 public:
  void onEvent(const PackEvent&) override {}
};

// Passes a coder's progress on as CodingProgress events.
class CodingProgressEvents final : public ProgressListener {
 public:
  explicit CodingProgressEvents(PackListener& listener) : listener_(listener) {}
  void progress(std::uint64_t done, std::uint64_t total) override {
    listener_.onEvent({PackEvent::Kind::CodingProgress, {}, done, total});
  }

 private:
  PackListener& listener_;
};

}  // namespace kupack
