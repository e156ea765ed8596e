#pragma once

#include <sys/types.h>

// A child start for children that must not outlive the helper: the platform asks the kernel to
// send the child a signal when the thread that started it ends (start such children from a
// thread that lives as long as the helper, such as the main thread). The child starts as clean
// as every other: every signal at its default disposition, an empty mask, no descriptors but 0,
// 1 and 2. Everything is prepared by the caller; between the fork and exec the child runs only
// async-signal-safe code. A platform without a parent-death signal starts the child without one.
struct GuardedSpawn {
    const char* program = nullptr; // an absolute path
    char* const* argv = nullptr;
    char* const* envp = nullptr;
    const char* workingDirectory = nullptr; // none: the helper's own
    bool nullStandardInput = false;         // otherwise the helper's standard input is inherited
    int standardOutput = -1;                // becomes descriptor 1; -1: /dev/null
    int standardError = -1;                 // becomes descriptor 2; -1: /dev/null
    bool newSession = false;
    bool ownProcessGroup = false;
    int parentDeathSignal = 0;
};

// Starts the child; 0 and its pid, or the errno of the step that failed (exec's included), in
// which case no child is left behind.
int startGuardedChild(const GuardedSpawn& request, pid_t* pid);
