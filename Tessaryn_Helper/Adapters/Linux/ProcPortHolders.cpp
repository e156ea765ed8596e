#include "ProcPortHolders.h"

#include <QFile>
#include <QSet>

#include <cctype>
#include <cstdlib>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Inodes of sockets bound to the port. TIME_WAIT and other connection states do not hold it.
QSet<QByteArray> boundSocketInodes(quint16 port)
{
    constexpr char listen[] = "0A";
    constexpr char unconnected[] = "07";
    QSet<QByteArray> inodes;
    for (const char* table : { "/proc/net/tcp", "/proc/net/tcp6" }) {
        QFile file(QString::fromLatin1(table));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        file.readLine(); // the heading
        while (!file.atEnd()) {
            const QList<QByteArray> fields = file.readLine().simplified().split(' ');
            if (fields.size() < 10)
                continue;
            const QByteArray& local = fields[1];
            bool ok = false;
            const uint localPort = local.mid(local.lastIndexOf(':') + 1).toUInt(&ok, 16);
            if (!ok || localPort != port || (fields[3] != listen && fields[3] != unconnected)
                || fields[9] == "0")
                continue;
            inodes.insert(fields[9]);
        }
    }
    return inodes;
}

bool holdsOneOf(const QByteArray& processFolder, const QSet<QByteArray>& links)
{
    const QByteArray fdFolder = processFolder + "/fd";
    DIR* dir = ::opendir(fdFolder.constData());
    if (!dir)
        return false;
    bool found = false;
    char target[64];
    while (!found) {
        const dirent* entry = ::readdir(dir);
        if (!entry)
            break;
        const QByteArray path = fdFolder + '/' + entry->d_name;
        const ssize_t n = ::readlink(path.constData(), target, sizeof target);
        found = n > 0 && n < ssize_t(sizeof target) && links.contains(QByteArray(target, int(n)));
    }
    ::closedir(dir);
    return found;
}

} // namespace

PortHolder ProcPortHolders::holderOf(quint16 port) const
{
    const QSet<QByteArray> inodes = boundSocketInodes(port);
    if (inodes.isEmpty())
        return {};
    QSet<QByteArray> links;
    for (const QByteArray& inode : inodes)
        links.insert("socket:[" + inode + ']');

    PortHolder holder;
    holder.kind = PortHolder::Kind::otherUser;
    const uid_t user = ::getuid();
    DIR* proc = ::opendir("/proc");
    if (!proc)
        return holder;
    while (const dirent* entry = ::readdir(proc)) {
        if (!std::isdigit(static_cast<unsigned char>(entry->d_name[0])))
            continue;
        const QByteArray folder = QByteArray("/proc/") + entry->d_name;
        struct stat info {};
        if (::stat(folder.constData(), &info) != 0 || info.st_uid != user || !holdsOneOf(folder, links))
            continue;
        holder.kind = PortHolder::Kind::ownProcess;
        holder.pid = pid_t(std::atoi(entry->d_name));
        QFile comm(QString::fromLatin1(folder + "/comm"));
        if (comm.open(QIODevice::ReadOnly))
            holder.name = QString::fromUtf8(comm.readAll()).trimmed();
        break;
    }
    ::closedir(proc);
    return holder;
}
