#include "Platform/SpawnDefaults.h"

#include <csignal>

void setSpawnDefaults(posix_spawnattr_t* attributes, posix_spawn_file_actions_t* actions, short* flags)
{
    // glibc 2.34 and later: closes every descriptor from 3 on, right before exec.
    posix_spawn_file_actions_addclosefrom_np(actions, 3);

    // sigfillset leaves out the signals that glibc reserves for itself (32 and 33), and its
    // spawn sets those to "ignore" in the child unless they are named here; an ignored
    // disposition would then survive exec. Name them by setting their bits directly.
    sigset_t all;
    sigfillset(&all);
    for (int signal = 32; signal < SIGRTMIN; ++signal) {
        const int bit = signal - 1;
        constexpr int bitsPerWord = 8 * sizeof(all.__val[0]);
        all.__val[bit / bitsPerWord] |= 1UL << (bit % bitsPerWord);
    }
    posix_spawnattr_setsigdefault(attributes, &all);
    *flags |= POSIX_SPAWN_SETSIGDEF;
}
