// Builds without FUSE (Windows, or Linux without libfuse 3's headers): the mount only
// says that it is not available.
#include "platform/read_only_mount.h"

namespace kupack::platform {

bool readOnlyMountAvailable(std::string& why) {
#ifdef _WIN32
  why = "mounting an archive is not available on Windows";
#else
  why = "this kupack was built without FUSE (libfuse 3) support";
#endif
  return false;
}

MountPointState mountPointState(const std::string&) { return MountPointState::Missing; }

bool mountWouldHide(const std::string&, const std::string&) { return false; }

int serveReadOnlyMount(ReadOnlyFileSystem&, const MountRequest&, std::string& why) {
  readOnlyMountAvailable(why);
  return 1;
}

}  // namespace kupack::platform
