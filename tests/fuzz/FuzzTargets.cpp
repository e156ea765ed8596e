#include "Environment/PathDiscovery.h"
#include "Adapters/Linux/AutostartEntry.h"
#include "Adapters/Linux/ApplicationIdentity.h"
#include "Plugin/PluginInstaller.h"

#include <QFile>

#include <cstdlib>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
#if defined(FUZZ_ENV_JSON)
    const auto cache = PathDiscovery::parseCache(input);
    if (cache && (!cache->discoveredAt.isValid() || PathDiscovery::whyNotASearchPath(cache->path)))
        std::abort();
#elif defined(FUZZ_SHELL_PATH)
    try {
        if (PathDiscovery::whyNotASearchPath(PathDiscovery::pathFromShellOutput(input))) std::abort();
    } catch (const PathDiscoveryError&) {
    }
#elif defined(FUZZ_VERSIONS) // two versions, one per line: the comparison must be a total preorder
    const QString a = QString::fromUtf8(input).section(u'\n', 0, 0),
                  b = QString::fromUtf8(input).section(u'\n', 1);
    if (!PluginInstaller::isVersion(a, a)
        || (!PluginInstaller::isVersion(a, b) && !PluginInstaller::isVersion(b, a)))
        std::abort();
#elif defined(FUZZ_MANIFEST)
    static const QString package = QStringLiteral("/tmp/fuzz-manifest-%1.ccx").arg(::getpid());
    static const struct Cleanup {
        ~Cleanup() { QFile::remove(package); }
    } cleanup;
    QFile file(package);
    if (file.open(QIODevice::WriteOnly) && file.write(input) == input.size() && file.flush())
        PluginInstaller::manifestVersion(package);
#elif defined(FUZZ_AUTOSTART_ENTRY)
    Autostart::execProgram(Autostart::parseEntry(input).exec);
    Autostart::execProgram(QString::fromUtf8(input));
#elif defined(FUZZ_PROC_IDENTITY)
    ApplicationIdentity::fromEnvironment(input, 1, 0, [](pid_t) { return std::nullopt; });
    ApplicationIdentity::fromFlatpakInfo(input);
    ApplicationIdentity::fromCgroup(input);
    ApplicationIdentity::fromUnitName(QString::fromUtf8(input));
#endif
    return 0;
}
