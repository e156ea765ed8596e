#pragma once

// Undoes what a launcher may leave the helper with, first thing at start: an ignored SIGCHLD
// (every child would then be reaped by the kernel, its exit status lost, and its pid free for
// reuse while the helper still signals it), blocked signals, closed standard descriptors (the
// next file opened would take their place), and other descriptors left open, which are closed in
// whatever the helper starts (an opener of its menu, say). SIGPIPE is ignored by the helper itself, so that a
// standard error nobody reads anymore cannot end it; its children still start with every signal
// at its default.
void resetInheritedProcessState();
