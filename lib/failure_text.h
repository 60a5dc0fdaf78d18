// The reading library's words for its callers: the English text of a failure Status, as
// Error::what() gives it (one line naming the archive and entry; names are code page 932
// bytes, as the archive has them). The program words failures itself (app/status_text.h).
#pragma once

#include <string>

#include "common/status.h"

namespace kupack {

// The one-line English text of `status` (not Ok): where, what went wrong and why.
std::string libraryFailureText(const Status& status);

}  // namespace kupack
