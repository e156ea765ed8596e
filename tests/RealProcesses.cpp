#include "RealProcesses.h"

#include "TestSupport.h"

#include <QProcessEnvironment>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;

bool processAlive(pid_t pid)
{
    if (pid <= 0 || ::kill(pid, 0) != 0)
        return false;
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const int close = stat.lastIndexOf(')');
    return close < 0 || stat.mid(close + 2, 1) != "Z";
}

int connectToServer()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(9876);
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

QByteArray getHealth()
{
    const int fd = connectToServer();
    if (fd < 0)
        return {};
    QByteArray response;
    const char request[] = "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (::write(fd, request, sizeof request - 1) > 0) {
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
            response.append(buffer, int(n));
    }
    ::close(fd);
    return response;
}

bool healthOk()
{
    const QByteArray response = getHealth();
    return response.startsWith("HTTP/1.1 200") && response.endsWith("{\"status\":\"ok\"}");
}

Background::Background(ProcessSpec spec)
{
    spec.nullStandardInput = true;
    ChildProcess::Handlers handlers;
    handlers.standardOutput = [output = output_](const QByteArray& chunk) { output->append(chunk); };
    handlers.standardError = [output = errors_](const QByteArray& chunk) { output->append(chunk); };
    process_ = ChildProcess::start(spec, std::move(handlers));
}

void Background::kill()
{
    process_->sendSignal(SIGKILL);
    process_->waitForFinished(std::chrono::steady_clock::now() + 5s);
}

void Background::Buffer::append(const QByteArray& chunk)
{
    std::lock_guard lock(mutex);
    data += chunk;
}

QByteArray Background::Buffer::bytes()
{
    std::lock_guard lock(mutex);
    return data;
}

// Premiere's desktop file named in the launch environment.
PremiereStandIn::PremiereStandIn()
    : process_([] {
        ProcessSpec spec;
        spec.program = "/usr/bin/env";
        spec.arguments = { "GIO_LAUNCHED_DESKTOP_FILE=/usr/share/applications/com.adobe.PremierePro.desktop", "sleep", "600" };
        return spec;
    }())
{
}

PortHolder::PortHolder()
    : process_([] {
        ProcessSpec spec;
        spec.program = "/usr/bin/python3";
        spec.arguments = { "-c", "import socket,time; s=socket.socket(); "
                                 "s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1); s.bind(('127.0.0.1',9876)); "
                                 "s.listen(); print('listening', flush=True); time.sleep(600)" };
        return spec;
    }())
{
}

bool PortHolder::waitUntilListening()
{
    return waitFor([&] { return process_.output().contains("listening"); });
}

HelperRun::HelperRun(const QString& home, const QString& configHome)
    : HelperRun(home, configHome, Options())
{
}

HelperRun::HelperRun(const QString& home, const QString& configHome, Options options)
    : home_(home)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("HOME", home);
    environment.insert("XDG_CONFIG_HOME", configHome);
    environment.insert("SHELL", "/bin/sh");
    for (const char* name : { "QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY", "DBUS_SESSION_BUS_ADDRESS",
                              "DEV_NODE_PATH", "DEV_AI_SERVER_PATH", "GIO_LAUNCHED_DESKTOP_FILE",
                              "GIO_LAUNCHED_DESKTOP_FILE_PID" })
        environment.remove(name);
    if (options.display.isEmpty()) {
        environment.insert("QT_QPA_PLATFORM", "offscreen");
    } else {
        environment.insert("DISPLAY", options.display);
        environment.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + home + "/no-session-bus");
    }
    ProcessSpec spec;
    spec.program = options.executable;
    spec.environment = environment.toStringList();
    process_ = std::make_unique<Background>(spec);
}

HelperRun::~HelperRun()
{
    const pid_t server = serverPid();
    process_->kill();
    if (processAlive(server))
        ::kill(server, SIGKILL);
    waitFor([&] { return !processAlive(server); }, 5s);
}

QStringList HelperRun::messages() const
{
    return logMessages(home_ + "/Library/Logs/Tessaryn/helper.log");
}

bool HelperRun::waitForMessage(const QString& message, std::chrono::milliseconds timeout) const
{
    return waitFor([&] { return messages().contains(message); }, timeout);
}

pid_t HelperRun::serverPid() const
{
    const QStringList spawned = messages().filter("Server spawned (pid ");
    return spawned.isEmpty() ? 0 : spawned.last().section("pid ", 1).chopped(1).toInt();
}

std::optional<int> HelperRun::terminate(std::chrono::milliseconds timeout)
{
    process().sendSignal(SIGTERM);
    if (!process().waitForFinished(std::chrono::steady_clock::now() + timeout))
        return std::nullopt;
    return process().terminationStatus();
}

std::string HelperRun::diagnostics() const
{
    return (messages().join('\n') + "\n--- standard error:\n" + QString::fromUtf8(process_->errors())).toStdString();
}
