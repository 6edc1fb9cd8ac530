// What ends a wait early, so that the host's signal handlers can run.
//
// A POSIX signal ends a blocking call by itself (EINTR). On Windows a wait
// given the host's event ends with EINTR when it is set, and resets it first
// (docs/development.md, "Ports and toolchains").
#pragma once

namespace trelk::platform {

struct Interruption {
    void* event = nullptr;  // Windows: the host's manual-reset event, or null for none
};

}  // namespace trelk::platform
