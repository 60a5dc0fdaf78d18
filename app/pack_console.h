// The console lines of a packing run: each event the library reports becomes exactly the
// text the program shows for it (in the chosen language), in the order the events come.
#pragma once

#include <string>

#include "archive/pack_events.h"

namespace kupack {

// The console text of one event (empty for none).
std::string packEventText(const PackEvent& event);

// Writes every event's text to the console as it comes: the progress figures as progress
// (shown on a terminal only), a folder left out as a diagnostic, the rest as regular output.
class ConsolePackListener final : public PackListener {
 public:
  void onEvent(const PackEvent& event) override;
};

}  // namespace kupack
