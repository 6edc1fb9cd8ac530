// What ends a wait early, so that the host's signal handlers can run.
//
// A POSIX signal ends a blocking call by itself (EINTR), and there is nothing
// to give. On Windows, Ctrl-C runs its handler on a thread of its own and ends
// no call; the host sets an event once its handler has marked the signal (the
// interpreter sets one on its main thread, where the handlers run). A wait
// given that event ends with EINTR when the event is set, and resets it
// first: the handlers run after the reset, so a signal that comes meanwhile
// sets it again and is not lost.
#pragma once

namespace trelk::platform {

struct Interruption {
    void* event = nullptr;  // Windows: the host's manual-reset event, or null for none
};

}  // namespace trelk::platform
