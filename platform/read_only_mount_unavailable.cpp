// Builds without FUSE (Windows, or Linux without libfuse 3's headers): the mount only
// says that it is not available.
#include "platform/read_only_mount.h"

namespace kupack::platform {

Status readOnlyMountAvailable() {
#ifdef _WIN32
  return Status::refused(Status::Reason::MountNotOnWindows);
#else
  return Status::refused(Status::Reason::MountNotBuilt);
#endif
}

MountPointState mountPointState(const std::string&) { return MountPointState::Missing; }

bool mountWouldHide(const std::string&, const std::string&) { return false; }

Status serveReadOnlyMount(ReadOnlyFileSystem&, const MountRequest&) {
  return readOnlyMountAvailable();
}

}  // namespace kupack::platform
