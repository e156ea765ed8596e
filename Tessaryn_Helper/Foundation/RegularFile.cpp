#include "RegularFile.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::optional<QByteArray> RegularFile::read(const QString& path, qsizetype limit, Oversize oversize,
                                            Origin origin)
{
    const int own = origin == Origin::ownOnly ? O_NOFOLLOW : 0;
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | own);
    if (fd < 0)
        return std::nullopt;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || (own && info.st_uid != ::getuid())
        || (oversize == Oversize::refuse && info.st_size > limit)) {
        ::close(fd);
        return std::nullopt;
    }
    // Pseudo-files report no size, and a file may grow while it is read: the limit is enforced on
    // what is read. One byte past it tells a refused file from one that fits exactly.
    const qsizetype wanted = oversize == Oversize::refuse ? limit + 1 : limit;
    QByteArray content;
    char buffer[4096];
    while (content.size() < wanted) {
        const ssize_t count =
            ::read(fd, buffer, size_t(std::min<qsizetype>(sizeof buffer, wanted - content.size())));
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (count == 0)
            break;
        content.append(buffer, count);
    }
    ::close(fd);
    if (content.size() > limit)
        return std::nullopt;
    return content;
}
