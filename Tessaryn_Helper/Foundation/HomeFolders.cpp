#include "Platform/HomeFolders.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace HomeFolders {

QString absoluteFromEnvironment(const char* variable)
{
    const QString value = qEnvironmentVariable(variable);
    return !value.isEmpty() && QDir::isAbsolutePath(value) ? QDir::cleanPath(value) : QString();
}

QString home()
{
    if (const QString fromEnvironment = absoluteFromEnvironment("HOME"); !fromEnvironment.isEmpty())
        return fromEnvironment;
    // A HOME that is unset, empty or relative would scatter the helper's files over whatever
    // folder it was started in.
    std::vector<char> buffer(16384);
    passwd entry {};
    passwd* found = nullptr;
    int error = 0;
    while ((error = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE
           && buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    if (error == 0 && found && found->pw_dir && found->pw_dir[0] == '/')
        return QDir::cleanPath(QFile::decodeName(found->pw_dir));
    return QDir::rootPath();
}

} // namespace HomeFolders
