#include "CommandLine.h"

#include <QCommandLineParser>

namespace {

constexpr int usageError = 2;

const char* const description =
    "Keeps the local server of the Tessaryn panel (node ai-server/server.js on 127.0.0.1:9876) running\n"
    "while, and only while, Adobe Premiere Pro runs, installs or updates the panel's plugin package, and\n"
    "shows a status icon in the system tray while Premiere Pro runs. It takes no arguments.\n"
    "\n"
    "Folders:\n"
    "  $XDG_STATE_HOME/tessaryn/logs/   helper.log and server.log (default ~/.local/state)\n"
    "  $XDG_STATE_HOME/tessaryn/        the install marker, the staged package, the server's record\n"
    "  $XDG_CACHE_HOME/tessaryn/        env.json, the login shell's PATH (default ~/.cache)\n"
    "  $XDG_CONFIG_HOME/autostart/      the login item (default ~/.config)";

void print(FILE* stream, const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
}

} // namespace

std::optional<int> CommandLine::answer(const QStringList& arguments, FILE* out, FILE* err)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(description));
    const QCommandLineOption help({ QStringLiteral("h"), QStringLiteral("help") },
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption version({ QStringLiteral("v"), QStringLiteral("version") },
                                     QStringLiteral("Show the version and exit."));
    parser.addOptions({ help, version });
    const QString program = QStringLiteral("tessaryn-helper");
    const QString tryHelp = QStringLiteral("Try '%1 --help' for more information.\n").arg(program);
    if (!parser.parse(arguments)) {
        print(err, program + QStringLiteral(": ") + parser.errorText() + QLatin1Char('\n') + tryHelp);
        return usageError;
    }
    if (parser.isSet(help)) {
        // Without an application object Qt does not know the program's name.
        print(out, parser.helpText().replace(QStringLiteral("<executable_name>"), program));
        return 0;
    }
    if (parser.isSet(version)) {
        print(out, program + QStringLiteral(" ") + QStringLiteral(TESSARYN_VERSION) + QLatin1Char('\n'));
        return 0;
    }
    if (!parser.positionalArguments().isEmpty()) {
        print(err,
              program + QStringLiteral(": takes no arguments, not '")
                  + parser.positionalArguments().constFirst() + QStringLiteral("'\n") + tryHelp);
        return usageError;
    }
    return std::nullopt;
}
