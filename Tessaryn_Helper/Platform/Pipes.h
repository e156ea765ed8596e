#pragma once

// A pipe whose ends are closed on exec, set atomically where the platform can, so that no child
// started meanwhile by another thread inherits them. False on failure, with errno set.
bool openCloseOnExecPipe(int ends[2], bool nonBlocking = false);

// Asks for a pipe of about `bytes` (best effort; the default stays where the platform refuses),
// so a writer that prints in bursts blocks less and each read takes more.
void enlargePipe(int fd, int bytes);
