#pragma once
// The process backend of the platform this program was built for.
#include <memory>

#include "ProcessBackend.h"

namespace tovi {

// On Linux: /proc and process_vm_readv for processes, X11 for windows when a display can be
// opened, and the no-display rule otherwise (see linux/README.md).
std::unique_ptr<ProcessBackend> MakePlatformBackend();

}  // namespace tovi
