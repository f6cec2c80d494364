// Runs RevealFile in a process of its own, so that each case has the session
// bus its environment names:  shell_probe PERCENT-ENCODED-PATH
// The path comes percent-encoded, so that any bytes pass QProcess, and is
// kept as the program keeps file names. Exits once the call has been
// answered and any fallback has been launched.
#include "shell.h"

#include "platform/media/file_names.h"

#include <QApplication>
#include <QDBusPendingCallWatcher>
#include <QFile>

#include <cstdio>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: shell_probe PATH\n");
        return 2;
    }
    RevealFile(kinovo::media::FileNameFromBytes(QByteArray::fromPercentEncoding(argv[1])));
    // The pending call lives as a child of the application until its answer
    // (or its error and the fallback) has been handled.
    while (!app.findChildren<QDBusPendingCallWatcher*>().isEmpty()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return 0;
}
