#include "shell.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QSessionManager>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QUrl>

#include <cerrno>
#include <csignal>
#include <iterator>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcShell, "kinovo.ui.shell", QtWarningMsg)

QString SpecialFolderPath(SpecialFolder folder)
{
    QStandardPaths::StandardLocation location = QStandardPaths::DesktopLocation;
    switch (folder) {
    case SpecialFolder::Videos: location = QStandardPaths::MoviesLocation; break;
    case SpecialFolder::Pictures: location = QStandardPaths::PicturesLocation; break;
    case SpecialFolder::Desktop: location = QStandardPaths::DesktopLocation; break;
    }
    // Qt answers with a default under $HOME even when the user has no such
    // folder; only an existing one counts as resolved.
    const QString path = QStandardPaths::writableLocation(location);
    if (path.isEmpty() || !QFileInfo(path).isDir()) return {};
    // The home folder itself is what XDG gives for a disabled directory.
    if (QDir(path) == QDir(HomeFolder())) return {};
    return QDir::cleanPath(path);
}

QString HomeFolder()
{
    const QByteArray home = qgetenv("HOME");
    return home.isEmpty() ? QString() : QDir::cleanPath(QFile::decodeName(home));
}

std::optional<std::uint64_t> FreeBytesAvailable(const QString& path)
{
    QString probe = QDir::cleanPath(path);
    // A folder made only when the first file goes in lies on its parent's volume.
    while (!probe.isEmpty() && !FileExists(probe) && probe != QLatin1String("/"))
        probe = QFileInfo(probe).path();
    struct statvfs st {};
    if (probe.isEmpty() || ::statvfs(QFile::encodeName(probe).constData(), &st) != 0) {
        qCWarning(lcShell) << "statvfs" << probe << "failed:" << std::strerror(errno);
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
}

bool FileExists(const QString& path)
{
    struct stat st {};
    return !path.isEmpty() && ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

bool EnsureFolder(const QString& path)
{
    const QString folder = QDir::cleanPath(path);
    if (folder.isEmpty()) {
        qCWarning(lcShell) << "no folder to make";
        return false;
    }
    // Made one level at a time, so that the failing level and its own errno
    // are what is reported (QDir::mkpath leaves errno to later calls).
    QStringList missing;
    for (QString level = folder; !QFileInfo(level).isDir();) {
        missing.prepend(level);
        const QString parent = QFileInfo(level).path();
        if (parent == level) break;
        level = parent;
    }
    for (const QString& level : missing) {
        if (::mkdir(QFile::encodeName(level).constData(), 0777) == 0) continue;
        const int error = errno;
        if (error == EEXIST && QFileInfo(level).isDir()) continue;  // made meanwhile by someone else
        qCWarning(lcShell).nospace() << "mkdir " << level << " (making " << folder << ") failed: " << std::strerror(error);
        return false;
    }
    return true;
}

void RevealFile(const QString& path)
{
    const QUrl file = QUrl::fromLocalFile(path);
    const QUrl folder = QUrl::fromLocalFile(QFileInfo(path).path());
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{file.toString(QUrl::FullyEncoded)} << QString();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        qCDebug(lcShell) << "no session bus; opening the folder of" << path;
        QDesktopServices::openUrl(folder);
        return;
    }
    // Asynchronous: a slow or absent file manager never holds the window up.
    // An absent one is answered at once by the bus; a file manager started
    // for the call may take seconds, and opening the folder as well then
    // would show the user two windows.
    constexpr int kReplyTimeoutMs = 25000;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kReplyTimeoutMs), qApp);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, qApp, [watcher, folder, path] {
        if (watcher->isError()) {
            qCDebug(lcShell) << "FileManager1.ShowItems" << path << "failed:" << watcher->error().message()
                             << "; opening the folder";
            if (!QDesktopServices::openUrl(folder)) qCWarning(lcShell) << "cannot open the folder" << folder;
        }
        watcher->deleteLater();
    });
}

void OpenUrl(const QString& url)
{
    if (!QDesktopServices::openUrl(QUrl(url))) qCWarning(lcShell) << "cannot open" << url;
}

void MessageBox(HWND owner, const QString& text, const QString& caption)
{
    QMessageBox box(QMessageBox::Critical, caption, text, QMessageBox::Ok, IsWindow(owner) ? owner : nullptr);
    box.exec();
}

namespace {

constexpr int kEndSignals[] = {SIGTERM, SIGINT, SIGHUP};

int g_signalPipe[2] = {-1, -1};
struct sigaction g_previous[std::size(kEndSignals)] {};
bool g_signalsCaught = false;

std::function<void()>& TerminationHandler()
{
    static std::function<void()> handler;
    return handler;
}

void OnSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    // Only async-signal-safe work here: the UI thread does the rest.
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
    errno = saved;
}

void RunTerminationHandler()
{
    // A second request while the first is still being served (a message box
    // of the handler runs the event loop) is the same ending, not a new one.
    static bool running = false;
    if (running || !TerminationHandler()) return;
    running = true;
    const std::function<void()> handler = TerminationHandler();
    handler();
    running = false;
}

void CatchSignals(bool catchThem)
{
    if (catchThem == g_signalsCaught) return;
    g_signalsCaught = catchThem;
    for (std::size_t i = 0; i < std::size(kEndSignals); ++i) {
        if (!catchThem) {
            ::sigaction(kEndSignals[i], &g_previous[i], nullptr);
            continue;
        }
        struct sigaction sa {};
        sa.sa_handler = OnSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        if (::sigaction(kEndSignals[i], &sa, &g_previous[i]) != 0)
            qCWarning(lcShell) << "sigaction" << kEndSignals[i] << "failed:" << std::strerror(errno);
    }
}

bool InstallSignalWatch()
{
    static bool installed = false;
    if (installed) return true;
    if (!qApp) {
        qCWarning(lcShell) << "no application object; the end of the process is not watched";
        return false;
    }
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        qCWarning(lcShell) << "pipe2 for the signal watch failed:" << std::strerror(errno);
        return false;
    }
    installed = true;
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, qApp, [] {
        char buffer[16];
        while (::read(g_signalPipe[0], buffer, sizeof buffer) > 0) {
        }
        RunTerminationHandler();
    });
    // The session manager's end of the session.
    if (auto* app = qobject_cast<QGuiApplication*>(qApp))
        QObject::connect(app, &QGuiApplication::commitDataRequest, app, [](QSessionManager&) { RunTerminationHandler(); });
    return true;
}

} // namespace

void SetTerminationHandler(std::function<void()> handler)
{
    TerminationHandler() = std::move(handler);
    // Without a handler the signals end the process as they did before.
    CatchSignals(TerminationHandler() && InstallSignalWatch());
}
