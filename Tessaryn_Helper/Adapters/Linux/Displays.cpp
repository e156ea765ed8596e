#include "Platform/Displays.h"

#include "Platform/HomeFolders.h"

#include <QDir>
#include <QFile>

#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Whether a stream socket at the path (abstract when it begins with a NUL) takes a connection.
bool accepts(const QByteArray& path)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (path.isEmpty() || size_t(path.size()) > sizeof(address.sun_path))
        return false;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const socklen_t length = socklen_t(offsetof(sockaddr_un, sun_path) + size_t(path.size()));
    const bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0;
    ::close(fd);
    return connected;
}

// A name relative to the runtime folder, or an absolute path.
bool waylandReachable(const QString& name)
{
    const QString runtime = HomeFolders::absoluteFromEnvironment("XDG_RUNTIME_DIR");
    if (QDir::isAbsolutePath(name))
        return accepts(QFile::encodeName(name));
    return !runtime.isEmpty() && accepts(QFile::encodeName(runtime + QLatin1Char('/') + name));
}

// ":N", ":N.S" and "unix:N" are local sockets (abstract first, as Xlib tries them); any other host
// is reached over the network, which only the X connection itself can tell.
bool x11Reachable(const QString& display)
{
    const qsizetype colon = display.lastIndexOf(QLatin1Char(':'));
    if (colon < 0)
        return false;
    const QString host = display.left(colon);
    if (!host.isEmpty() && host != QLatin1String("unix"))
        return true;
    bool numeric = false;
    const uint number = display.mid(colon + 1).section(QLatin1Char('.'), 0, 0).toUInt(&numeric);
    if (!numeric)
        return false;
    const QByteArray socket = "/tmp/.X11-unix/X" + QByteArray::number(number);
    return accepts('\0' + socket) || accepts(socket);
}

} // namespace

std::vector<NamedDisplay> Displays::probe()
{
    std::vector<NamedDisplay> displays;
    if (const QString wayland = qEnvironmentVariable("WAYLAND_DISPLAY"); !wayland.isEmpty())
        displays.push_back({ NamedDisplay::Kind::wayland, QStringLiteral("WAYLAND_DISPLAY"), wayland,
                             waylandReachable(wayland) });
    if (const QString x11 = qEnvironmentVariable("DISPLAY"); !x11.isEmpty())
        displays.push_back({ NamedDisplay::Kind::x11, QStringLiteral("DISPLAY"), x11, x11Reachable(x11) });
    return displays;
}
