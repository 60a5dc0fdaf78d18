// The process's memory on Windows.

#include "platform/memory.h"

namespace kupack::platform {

// The process heap keeps freed blocks for reuse by itself.
void keepFreedBuffers() {}

}  // namespace kupack::platform
