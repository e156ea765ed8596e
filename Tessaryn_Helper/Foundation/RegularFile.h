#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Reads a file that other programs may have put in our way. It is opened without blocking and
// close-on-exec, so a FIFO or a device in its place is refused at once instead of stalling the
// reader, and only a regular file is read, never more than `limit` bytes.
namespace RegularFile {

enum class Oversize {
    truncate, // a larger file gives its first `limit` bytes
    refuse,   // a larger file gives nothing
};

enum class Origin {
    anyone,  // whoever's file, also at the end of a link
    ownOnly, // only the user's own file, never through a link (one in a shared folder could lead anywhere)
};

// None when the file cannot be opened or read, or is not a regular file (of the user's, when asked).
std::optional<QByteArray> read(const QString& path, qsizetype limit, Oversize oversize,
                               Origin origin = Origin::anyone);

}
