// The helpers that only a POSIX system has.
#include <sys/mount.h>

#include "test_support.h"

namespace nestmend::testing {

ScratchMount::ScratchMount(const std::string& options)
    : mounted_(mount("tmpfs", dir_.path().c_str(), "tmpfs", 0, options.c_str()) == 0) {}

ScratchMount::~ScratchMount() {
  if (mounted_) umount2(dir_.path().c_str(), MNT_DETACH);
}

}  // namespace nestmend::testing
