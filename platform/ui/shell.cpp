#include "shell.h"

#include "platform/media/file_names.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QDir>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QSessionManager>
#include <QSocketNotifier>
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

namespace {

using kinovo::media::FileNameFromBytes;
using kinovo::media::FileNameToBytes;

QByteArray Bytes(const QString& path)
{
    return FileNameToBytes(path);
}

// The folder a path lies in, from its text alone.
QString ParentOf(const QString& path)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash < 0) return QStringLiteral(".");
    return slash == 0 ? QStringLiteral("/") : path.left(slash);
}

// The file's whole content; none when it cannot be read (a missing file
// is the usual case and is not logged).
std::optional<QByteArray> ReadBytes(const QByteArray& path)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error != ENOENT && error != ENOTDIR)
            qCWarning(lcShell) << "open" << path << "failed:" << std::strerror(error);
        return std::nullopt;
    }
    QByteArray content;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            content.append(buffer, n);
            continue;
        }
        const int error = n < 0 ? errno : 0;
        if (error == EINTR) continue;
        if (error) qCWarning(lcShell) << "read" << path << "failed:" << std::strerror(error);
        break;
    }
    ::close(fd);
    return content;
}

// The value of XDG_<name>_DIR in the user's user-dirs.dirs, as bytes with
// $HOME put in; none without a usable setting. The file is shell syntax:
// XDG_VIDEOS_DIR="$HOME/Videos" or an absolute path, the last one counting.
std::optional<QByteArray> UserDirSetting(const QByteArray& name)
{
    const QByteArray home = qgetenv("HOME");
    QByteArray config = qgetenv("XDG_CONFIG_HOME");
    if (!config.startsWith('/')) {
        if (home.isEmpty()) return std::nullopt;
        config = home + "/.config";
    }
    const std::optional<QByteArray> file = ReadBytes(config + "/user-dirs.dirs");
    if (!file) return std::nullopt;
    const QByteArray key = "XDG_" + name + "_DIR=";
    std::optional<QByteArray> setting;
    for (QByteArray line : file->split('\n')) {
        line = line.trimmed();
        if (!line.startsWith(key)) continue;
        const QByteArray raw = line.mid(key.size());
        QByteArray value;
        if (raw.startsWith('"')) {
            // Inside double quotes a backslash keeps the next character.
            bool closed = false;
            for (qsizetype i = 1; i < raw.size() && !closed; ++i) {
                if (raw[i] == '\\' && i + 1 < raw.size())
                    value.append(raw[++i]);
                else if (raw[i] == '"')
                    closed = true;
                else
                    value.append(raw[i]);
            }
            if (!closed) continue;
        } else {
            value = raw;
        }
        if (value == "$HOME" || value.startsWith("$HOME/")) {
            if (home.isEmpty()) continue;
            setting = home + value.mid(5);
        } else if (value.startsWith('/')) {
            setting = value;
        }
    }
    return setting;
}

} // namespace

QString SpecialFolderPath(SpecialFolder folder)
{
    QByteArray name = "DESKTOP";
    QString usual = QStringLiteral("Desktop");
    switch (folder) {
    case SpecialFolder::Videos: name = "VIDEOS", usual = QStringLiteral("Videos"); break;
    case SpecialFolder::Pictures: name = "PICTURES", usual = QStringLiteral("Pictures"); break;
    case SpecialFolder::Desktop: break;
    }
    const QString home = HomeFolder();
    // A folder the user set is theirs even before it exists: it is made
    // when the first file goes in.
    if (const std::optional<QByteArray> setting = UserDirSetting(name)) {
        const QString path = QDir::cleanPath(FileNameFromBytes(*setting));
        return path == home ? QString() : path;
    }
    if (home.isEmpty()) return {};
    const QString path = QDir::cleanPath(home + QLatin1Char('/') + usual);
    return FolderExists(path) ? path : QString();
}

QString HomeFolder()
{
    const QByteArray home = qgetenv("HOME");
    return home.isEmpty() ? QString() : QDir::cleanPath(FileNameFromBytes(home));
}

QString PrintablePath(const QString& path)
{
    QString text;
    text.reserve(path.size());
    for (const QChar c : path) {
        const char16_t unit = c.unicode();
        // FileNameFromBytes keeps the byte b as U+DC00 + b.
        if (unit >= 0xDC80 && unit <= 0xDCFF)
            text += QStringLiteral("\\x") + QString::number(unit - 0xDC00, 16).toUpper();
        else
            text += c;
    }
    return text;
}

std::optional<std::uint64_t> FreeBytesAvailable(const QString& path)
{
    QString probe = QDir::cleanPath(path);
    // A folder made only when the first file goes in lies on its parent's volume.
    while (!probe.isEmpty() && !FileExists(probe) && probe != QLatin1String("/")) probe = ParentOf(probe);
    struct statvfs st {};
    if (probe.isEmpty() || ::statvfs(Bytes(probe).constData(), &st) != 0) {
        const int error = probe.isEmpty() ? ENOENT : errno;
        qCWarning(lcShell).noquote() << "statvfs" << PrintablePath(probe) << "failed:" << std::strerror(error);
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
}

bool FileExists(const QString& path)
{
    struct stat st {};
    return !path.isEmpty() && ::lstat(Bytes(path).constData(), &st) == 0;
}

bool FolderExists(const QString& path)
{
    struct stat st {};
    return !path.isEmpty() && ::stat(Bytes(path).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FolderWritable(const QString& path)
{
    return !path.isEmpty() && ::access(Bytes(path).constData(), W_OK) == 0;
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
    for (QString level = folder; !FolderExists(level);) {
        missing.prepend(level);
        const QString parent = ParentOf(level);
        if (parent == level) break;
        level = parent;
    }
    for (const QString& level : missing) {
        if (::mkdir(Bytes(level).constData(), 0777) == 0) continue;
        const int error = errno;
        if (error == EEXIST && FolderExists(level)) continue; // made meanwhile by someone else
        qCWarning(lcShell).noquote().nospace() << "mkdir " << PrintablePath(level) << " (making "
                                               << PrintablePath(folder) << ") failed: " << std::strerror(error);
        return false;
    }
    return true;
}

namespace {

// A file: address of the path's own bytes (QUrl::fromLocalFile would put
// U+FFFD in place of a byte that is no UTF-8).
QUrl FileUrl(const QString& path)
{
    return QUrl::fromEncoded("file://" + Bytes(path).toPercentEncoding("/!$&'()*+,;=:@"), QUrl::StrictMode);
}

} // namespace

void RevealFile(const QString& path)
{
    const QUrl file = FileUrl(path);
    const QUrl folder = FileUrl(ParentOf(path));
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{file.toString(QUrl::FullyEncoded)} << QString();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        qCDebug(lcShell).noquote() << "no session bus; opening the folder of" << PrintablePath(path);
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
            qCDebug(lcShell).noquote() << "FileManager1.ShowItems" << PrintablePath(path)
                                       << "failed:" << watcher->error().message() << "; opening the folder";
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
