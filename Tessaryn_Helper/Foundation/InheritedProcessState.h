#pragma once

// Undoes what a launcher may leave the helper with, first thing at start: an ignored SIGCHLD
// (every child would then be reaped by the kernel, its exit status lost, and its pid free for
// reuse while the helper still signals it), blocked signals, and closed standard descriptors (the
// next file opened would take their place). SIGPIPE is ignored by the helper itself, so that a
// standard error nobody reads anymore cannot end it; its children still start with every signal
// at its default.
void resetInheritedProcessState();
