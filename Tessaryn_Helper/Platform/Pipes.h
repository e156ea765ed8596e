#pragma once

// A pipe whose ends are closed on exec, set atomically where the platform can, so that no child
// started meanwhile by another thread inherits them. False on failure, with errno set.
bool openCloseOnExecPipe(int ends[2], bool nonBlocking = false);
