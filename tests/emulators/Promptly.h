// A reader answers within its own time whatever the host is doing, and drivers give it only that
// long (100 ms for autobaud's ping at each speed). An emulated reader's thread calls
// answerPromptly() first, so that the scheduler runs it ahead of the busy threads of a loaded
// machine (nice -20); where the process may not raise a priority, nothing changes.
#pragma once

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace emulators {

inline void answerPromptly()
{
    (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), -20);
}

}  // namespace emulators
