// A stand-in for the desktop's file manager: owns org.freedesktop.FileManager1
// on the session bus, answers ShowItems, ShowFolders and ShowItemProperties,
// and appends one line per call ("ShowItems file:///a file:///b") to a log.
// Prints "ready" once it owns the name.
//   fake-filemanager [LOG]     (default: $KINOVO_FILEMANAGER_LOG)
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QFile>
#include <QStringList>

#include <cstdio>

namespace {

constexpr auto kService = "org.freedesktop.FileManager1";
constexpr auto kPath = "/org/freedesktop/FileManager1";

const char kIntrospection[] = R"(  <interface name="org.freedesktop.FileManager1">
    <method name="ShowFolders"><arg name="URIs" type="as" direction="in"/><arg name="StartupId" type="s" direction="in"/></method>
    <method name="ShowItems"><arg name="URIs" type="as" direction="in"/><arg name="StartupId" type="s" direction="in"/></method>
    <method name="ShowItemProperties"><arg name="URIs" type="as" direction="in"/><arg name="StartupId" type="s" direction="in"/></method>
  </interface>
)";

class FileManager : public QDBusVirtualObject {
 public:
  explicit FileManager(QString log) : log_(std::move(log)) {}

  QString introspect(const QString&) const override { return QString::fromLatin1(kIntrospection); }

  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    if (message.interface() != QLatin1String(kService)) return false;
    const QString member = message.member();
    const QList<QVariant> args = message.arguments();
    if ((member != QLatin1String("ShowItems") && member != QLatin1String("ShowFolders") &&
         member != QLatin1String("ShowItemProperties")) ||
        message.signature() != QLatin1String("ass") || args.size() != 2) {
      connection.send(message.createErrorReply(QDBusError::UnknownMethod, member + " is not known here"));
      return true;
    }
    const QStringList uris = args.at(0).toStringList();
    Append(member + (uris.isEmpty() ? QString() : QLatin1Char(' ') + uris.join(QLatin1Char(' '))));
    connection.send(message.createReply());
    return true;
  }

 private:
  void Append(const QString& line) const {
    QFile file(log_);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) {
      std::fprintf(stderr, "fake-filemanager: cannot open %s: %s\n", qPrintable(log_), qPrintable(file.errorString()));
      return;
    }
    file.write(line.toUtf8() + '\n');
  }

  QString log_;
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const QString log = argc > 1 ? QFile::decodeName(argv[1]) : QFile::decodeName(qgetenv("KINOVO_FILEMANAGER_LOG"));
  if (log.isEmpty()) {
    std::fprintf(stderr, "usage: fake-filemanager LOG (or KINOVO_FILEMANAGER_LOG)\n");
    return 2;
  }
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    std::fprintf(stderr, "fake-filemanager: no session bus: %s\n", qPrintable(bus.lastError().message()));
    return 1;
  }
  FileManager manager(log);
  if (!bus.registerVirtualObject(QLatin1String(kPath), &manager)) {
    std::fprintf(stderr, "fake-filemanager: cannot register %s\n", kPath);
    return 1;
  }
  if (!bus.registerService(QLatin1String(kService))) {
    std::fprintf(stderr, "fake-filemanager: cannot own %s: %s\n", kService, qPrintable(bus.lastError().message()));
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  return app.exec();
}
