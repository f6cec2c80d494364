// The shell services against the real system: a 1 MiB tmpfs for free space
// and read-only folders (mounted in a private mount namespace where the test
// may), real signals for the termination handler, and a private session bus
// with the stand-in file manager for revealing files.
#include "shell.h"

#include "platform/media/file_names.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>

namespace {

// Why tmpfs cannot be mounted here, or empty when it can.
QString g_noMounts;

QByteArray Bytes(const QString& path) { return QFile::encodeName(path); }

}  // namespace

// Readable failures.
QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }
QT_END_NAMESPACE

namespace {

// A tmpfs of `size` bytes on a fresh folder, unmounted at the end.
class Tmpfs {
public:
    explicit Tmpfs(std::size_t size, bool readOnly = false)
    {
        if (!g_noMounts.isEmpty() || !dir_.isValid()) return;
        const std::string options = "size=" + std::to_string(size) + ",mode=0755";
        mounted_ = ::mount("tmpfs", Bytes(dir_.path()).constData(), "tmpfs", readOnly ? MS_RDONLY : 0,
                           options.c_str()) == 0;
        if (!mounted_) error_ = QString::fromLocal8Bit(std::strerror(errno));
    }
    ~Tmpfs()
    {
        if (mounted_) ::umount2(Bytes(dir_.path()).constData(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    QString why() const { return g_noMounts.isEmpty() ? "mount tmpfs: " + error_ : g_noMounts; }
    QString path(const QString& name = {}) const { return name.isEmpty() ? dir_.path() : dir_.filePath(name); }

private:
    QTemporaryDir dir_;
    bool mounted_ = false;
    QString error_;
};

#define REQUIRE_MOUNTED(fs) \
    if (!(fs).mounted()) {    \
        GTEST_SKIP() << qPrintable((fs).why()); \
    }

void WriteFile(const QString& path, qint64 size)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << qPrintable(path);
    ASSERT_EQ(file.write(QByteArray(size, 'x')), size);
}

// Warnings of the shell's logging category while alive.
class WarningLog {
public:
    WarningLog() { previous_ = qInstallMessageHandler(&WarningLog::Handle); text().clear(); }
    ~WarningLog() { qInstallMessageHandler(previous_); }
    static QString& text()
    {
        static QString log;
        return log;
    }

private:
    static void Handle(QtMsgType, const QMessageLogContext& context, const QString& message)
    {
        if (context.category && std::strcmp(context.category, "kinovo.ui.shell") == 0) text() += message + '\n';
    }
    QtMessageHandler previous_ = nullptr;
};

constexpr std::uint64_t kMiB = 1 << 20;
constexpr std::uint64_t kPage = 4096;

TEST(FreeBytesAvailable, CountsTheVolumeOfTheFolderOrItsNearestParent)
{
    Tmpfs fs(kMiB);
    REQUIRE_MOUNTED(fs);
    ASSERT_TRUE(QDir().mkpath(fs.path("Videos")));
    for (const QString& name : {QString(), QString("Videos"), QString("Videos/not/yet"), QString("missing")})
        EXPECT_EQ(FreeBytesAvailable(fs.path(name)), kMiB) << qPrintable(name);

    // A file takes whole pages; removing it gives them back.
    WriteFile(fs.path("Videos/a.avi"), 100000);
    const std::uint64_t pages = (100000 + kPage - 1) / kPage;
    EXPECT_EQ(FreeBytesAvailable(fs.path("Videos/not/yet")), kMiB - pages * kPage);
    WriteFile(fs.path("b.avi"), 200 * kPage);
    EXPECT_EQ(FreeBytesAvailable(fs.path("Videos")), kMiB - (pages + 200) * kPage);
    ASSERT_TRUE(QFile::remove(fs.path("Videos/a.avi")));
    ASSERT_TRUE(QFile::remove(fs.path("b.avi")));
    EXPECT_EQ(FreeBytesAvailable(fs.path("Videos")), kMiB);
}

// The user's settings read as bytes, with a home folder whose name is no
// UTF-8; "~" in an expected path stands for that home.
TEST(SpecialFolderPath, ReadsTheUsersSettingsAsBytes) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QByteArray home = Bytes(dir.path()) + "/h\xff\xfeome";
  for (const QByteArray& folder : {home, home + "/.config", home + "/Pictures"})
    ASSERT_EQ(::mkdir(folder.constData(), 0777), 0) << folder.constData();
  struct Environment {
    QByteArray home = qgetenv("HOME"), config = qgetenv("XDG_CONFIG_HOME");
    bool hadConfig = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
    ~Environment() {
      qputenv("HOME", home);
      if (hadConfig)
        qputenv("XDG_CONFIG_HOME", config);
      else
        qunsetenv("XDG_CONFIG_HOME");
    }
  } restore;
  qputenv("HOME", home);
  qunsetenv("XDG_CONFIG_HOME");
  const struct {
    const char* settings;
    QByteArray videos;
    QByteArray pictures;
  } cases[] = {
      {"", "", "~/Pictures"},  // nothing set: the usual folder where it exists
      {"XDG_VIDEOS_DIR=\"$HOME/Vid\xe9os\"\nXDG_PICTURES_DIR=\"$HOME/Pics\"\n", "~/Vid\xe9os",
       "~/Pics"},
      {"# XDG_VIDEOS_DIR=\"$HOME/No\"\n  XDG_VIDEOS_DIR=\"$HOME/A\"\nXDG_VIDEOS_DIR=\"$HOME/B\"\n",
       "~/B", "~/Pictures"},  // comments left out, the last one counts
      {"XDG_VIDEOS_DIR=\"$HOME/\"\nXDG_PICTURES_DIR=\"$HOME\"\n", "", ""},  // disabled
      {"XDG_VIDEOS_DIR=\"Videos\"\nXDG_PICTURES_DIR=\"$HOME/open\n", "",
       "~/Pictures"},  // not settings
      {"XDG_VIDEOS_DIR=\"/abs/My \\\"V\\\\\\\"\"\n", "/abs/My \"V\\\"",
       "~/Pictures"},  // shell quoting
  };
  for (const auto& c : cases) {
    QFile file(dir.path() + "/settings");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(c.settings);
    file.close();
    ::unlink((home + "/.config/user-dirs.dirs").constData());
    ASSERT_EQ(::rename(Bytes(file.fileName()).constData(),
                       (home + "/.config/user-dirs.dirs").constData()),
              0);
    const auto expected = [&](QByteArray path) {
      return path.startsWith('~') ? home + path.mid(1) : path;
    };
    EXPECT_EQ(kinovo::media::FileNameToBytes(SpecialFolderPath(SpecialFolder::Videos)),
              expected(c.videos))
        << c.settings;
    EXPECT_EQ(kinovo::media::FileNameToBytes(SpecialFolderPath(SpecialFolder::Pictures)),
              expected(c.pictures))
        << c.settings;
  }
  EXPECT_EQ(kinovo::media::FileNameToBytes(HomeFolder()), home);
}

TEST(FreeBytesAvailable, EmptyPathIsNotMeasured)
{
    EXPECT_EQ(FreeBytesAvailable(QString()), std::nullopt);
}

TEST(FileExists, AnythingWithTheNameCounts)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    WriteFile(dir.filePath("file"), 1);
    ASSERT_TRUE(QDir(dir.path()).mkdir("folder"));
    ASSERT_EQ(::symlink("nowhere", Bytes(dir.filePath("dangling")).constData()), 0);
    ASSERT_EQ(::symlink("file", Bytes(dir.filePath("link")).constData()), 0);
    const struct {
        const char* name;
        bool exists;
    } cases[] = {
        {"file", true}, {"folder", true}, {"dangling", true}, {"link", true},
        {"missing", false}, {"file/below", false}, {"folder/missing", false},
    };
    for (const auto& c : cases) EXPECT_EQ(FileExists(dir.filePath(c.name)), c.exists) << c.name;
    EXPECT_FALSE(FileExists(QString()));
}

TEST(EnsureFolder, MakesNestedFoldersAndRefusesWhatCannotBeAFolder)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    WriteFile(dir.filePath("file"), 1);
    const struct {
        const char* name;
        bool ok;
    } cases[] = {
        {"", true},  // the folder itself already exists
        {"Videos", true}, {"a/b/c/d", true}, {"a/b", true}, {"with space/Видео", true},
        {"file", false}, {"file/below", false},
    };
    for (const auto& c : cases) {
        const QString path = dir.filePath(c.name);
        WarningLog log;
        EXPECT_EQ(EnsureFolder(path), c.ok) << c.name;
        EXPECT_EQ(QFileInfo(path).isDir(), c.ok) << c.name;
        // A failure names the folder.
        if (!c.ok) {
            EXPECT_TRUE(WarningLog::text().contains(path)) << qPrintable(WarningLog::text());
        }
    }
}

TEST(EnsureFolder, FailsClearlyOnAReadOnlyVolume)
{
    Tmpfs fs(kMiB, /*readOnly=*/true);
    REQUIRE_MOUNTED(fs);
    const QString path = fs.path("Pictures/2026");
    WarningLog log;
    EXPECT_FALSE(EnsureFolder(path));
    EXPECT_FALSE(FileExists(fs.path("Pictures")));
    EXPECT_TRUE(WarningLog::text().contains(path)) << qPrintable(WarningLog::text());
    EXPECT_TRUE(WarningLog::text().contains(QString::fromLocal8Bit(std::strerror(EROFS))))
        << qPrintable(WarningLog::text());
}

// Runs the event loop until `done` or 20 s.
template <class F> bool SpinUntil(F done)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < 20000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

TEST(SetTerminationHandler, RunsTheHandlerOnTheUiThreadForEachEndSignal)
{
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        int calls = 0;
        bool onUiThread = false;
        SetTerminationHandler([&] {
            ++calls;
            onUiThread = QThread::currentThread() == qApp->thread();
        });
        // From another thread, as the kernel may deliver it to any of them.
        std::thread([sig] { ::kill(::getpid(), sig); }).join();
        EXPECT_TRUE(SpinUntil([&] { return calls > 0; })) << strsignal(sig);
        EXPECT_EQ(calls, 1) << strsignal(sig);
        EXPECT_TRUE(onUiThread) << strsignal(sig);
    }
    SetTerminationHandler({});
}

TEST(SetTerminationHandler, ARequestWhileTheHandlerRunsIsTheSameEnding)
{
    int calls = 0;
    SetTerminationHandler([&] {
        ++calls;
        // The handler's own message box runs the event loop meanwhile.
        ::raise(SIGTERM);
        for (int i = 0; i < 10; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    });
    ::raise(SIGINT);
    EXPECT_TRUE(SpinUntil([&] { return calls > 0; }));
    for (int i = 0; i < 10; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_EQ(calls, 1);
    SetTerminationHandler({});
}

TEST(SetTerminationHandler, WithoutAHandlerTheSignalsEndTheProcessAgain)
{
    SetTerminationHandler([] {});
    SetTerminationHandler({});
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        struct sigaction sa {};
        ASSERT_EQ(::sigaction(sig, nullptr, &sa), 0);
        EXPECT_EQ(sa.sa_handler, SIG_DFL) << strsignal(sig);
    }
}

// A private session bus (no service activation) for the file manager cases.
class RevealFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir_.isValid());
        if (QStandardPaths::findExecutable("dbus-daemon").isEmpty()) GTEST_SKIP() << "dbus-daemon is not installed";
        QFile config(dir_.filePath("bus.conf"));
        ASSERT_TRUE(config.open(QIODevice::WriteOnly));
        config.write("<busconfig><type>session</type><listen>unix:path=" + Bytes(dir_.filePath("bus")) +
                     "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                     "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                     "<allow own=\"*\"/></policy></busconfig>\n");
        config.close();
        bus_.start("dbus-daemon", {"--config-file=" + config.fileName(), "--nofork", "--nopidfile",
                                   "--print-address"});
        ASSERT_TRUE(bus_.waitForReadyRead(20000)) << "dbus-daemon did not start";
        address_ = QString::fromUtf8(bus_.readLine()).trimmed();

        // What opening a folder runs when no file manager answers.
        ASSERT_TRUE(QDir(dir_.path()).mkdir("bin"));
        QFile opener(dir_.filePath("bin/xdg-open"));
        ASSERT_TRUE(opener.open(QIODevice::WriteOnly));
        opener.write("#!/bin/sh\nprintf '%s\\n' \"$*\" >>'" + Bytes(dir_.filePath("opened.log")) + "'\n");
        opener.close();
        opener.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    void TearDown() override
    {
        for (QProcess* p : {&fileManager_, &bus_}) {
            p->terminate();
            p->waitForFinished(10000);
        }
    }

    void StartFileManager()
    {
        fileManager_.setProcessEnvironment(Environment(address_));
        fileManager_.start(FAKE_FILEMANAGER, {dir_.filePath("filemanager.log")});
        ASSERT_TRUE(fileManager_.waitForStarted(20000));
        // It says so once it owns its name.
        ASSERT_TRUE(fileManager_.waitForReadyRead(20000)) << "the file manager did not take its name";
    }

    QProcessEnvironment Environment(const QString& address) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DBUS_SESSION_BUS_ADDRESS", address);
        env.insert("PATH", dir_.filePath("bin") + ":" + env.value("PATH"));
        return env;
    }

    // Reveals `name` (raw bytes, below the test folder) from a process on `address`.
    void Reveal(const QByteArray& name, const QString& address)
    {
        const QByteArray path = Bytes(dir_.path()) + '/' + name;
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        ASSERT_GE(fd, 0) << path.constData() << ": " << std::strerror(errno);
        ::close(fd);
        QProcess probe;
        probe.setProcessEnvironment(Environment(address));
        probe.setProcessChannelMode(QProcess::ForwardedChannels);
        probe.setProgram(SHELL_PROBE);
        // Handed over as bytes, as a file name reaches the program.
        probe.setArguments({QString::fromLatin1(path.toPercentEncoding("/"))});
        probe.start();
        ASSERT_TRUE(probe.waitForFinished(30000)) << "the probe did not finish";
        EXPECT_EQ(probe.exitCode(), 0);
    }

    QStringList Lines(const char* log) const
    {
        QFile file(dir_.filePath(log));
        if (!file.open(QIODevice::ReadOnly)) return {};
        return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    }
    // The URI of a file in the test folder, its name given percent-encoded.
    QString Uri(const char* encodedName) const {
      return QUrl::fromLocalFile(dir_.path()).toString(QUrl::FullyEncoded) + '/' + encodedName;
    }
    QString FolderUri() const { return QUrl::fromLocalFile(dir_.path()).toString(QUrl::FullyEncoded); }

    QTemporaryDir dir_;
    QProcess bus_;
    QProcess fileManager_;
    QString address_;
};

// Names and the addresses that find them: a byte that is no UTF-8 reaches
// the file manager as itself.
const struct {
  QByteArray name;
  const char* uri;
} kNames[] = {
    {"video_09.12.2026_0001.avi", "video_09.12.2026_0001.avi"},
    {"with spaces & #hash 100%.avi", "with%20spaces%20&%20%23hash%20100%25.avi"},
    {"Видео фото.jpg", "%D0%92%D0%B8%D0%B4%D0%B5%D0%BE%20%D1%84%D0%BE%D1%82%D0%BE.jpg"},
    {"bytes \xff\xfe not utf-8.avi", "bytes%20%FF%FE%20not%20utf-8.avi"},
};

TEST_F(RevealFileTest, TheFileManagerGetsTheFilesUri)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY")) GTEST_SKIP() << "needs an X display (run inside scripts/with-services.sh)";
    StartFileManager();
    QStringList expected;
    for (const auto& [name, uri] : kNames) {
      Reveal(name, address_);
      expected << "ShowItems " + Uri(uri);
    }
    EXPECT_EQ(Lines("filemanager.log"), expected);
    // Answered: the folder is not opened as well.
    EXPECT_EQ(Lines("opened.log"), QStringList());
}

TEST_F(RevealFileTest, WithoutAFileManagerTheFolderOpens)
{
    // Opening a folder goes through the desktop's opener, which Qt only
    // offers on a real display.
    if (qEnvironmentVariableIsEmpty("DISPLAY")) GTEST_SKIP() << "needs an X display (run inside scripts/with-services.sh)";
    Reveal(kNames[1].name, address_);
    // No session bus at all.
    Reveal(kNames[3].name, "unix:path=" + dir_.filePath("no-bus"));
    EXPECT_TRUE(SpinUntil([&] { return Lines("opened.log").size() >= 2; }));
    EXPECT_EQ(Lines("opened.log"), QStringList({FolderUri(), FolderUri()}));
}

}  // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    // tmpfs mounts go into a mount namespace of this process only, made
    // before any thread starts.
    if (::geteuid() != 0)
        g_noMounts = "not root: no tmpfs can be mounted";
    else if (::unshare(CLONE_NEWNS) != 0)
        g_noMounts = QString("unshare(CLONE_NEWNS): ") + std::strerror(errno);
    else if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        g_noMounts = QString("making / private: ") + std::strerror(errno);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
