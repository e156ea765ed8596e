#pragma once

#include <spawn.h>

// Completes a posix_spawn set-up so that the child starts clean: every signal at its default
// disposition, and no descriptors but 0, 1 and 2, whatever the helper itself holds or inherited.
// Each platform knows its own way to say so.
void setSpawnDefaults(posix_spawnattr_t* attributes, posix_spawn_file_actions_t* actions, short* flags);
