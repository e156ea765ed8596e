#include "Platform/Pipes.h"

#include <fcntl.h>
#include <unistd.h>

bool openCloseOnExecPipe(int ends[2], bool nonBlocking)
{
    return ::pipe2(ends, O_CLOEXEC | (nonBlocking ? O_NONBLOCK : 0)) == 0;
}

void enlargePipe(int fd, int bytes)
{
    ::fcntl(fd, F_SETPIPE_SZ, bytes);
}
