#include "shell.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

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
