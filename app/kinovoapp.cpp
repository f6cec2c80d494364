#include "kinovoapp.h"

#include "app_log.h"
#include "kinovo_version.h"
#include "kinovodlg.h"
#include "platform/media/linux/capture_session.h"

#include <QApplication>
#include <QIcon>

CKinovoApp theApp;

CKinovoApp::CKinovoApp() : CWinAppEx(true) {}

bool CKinovoApp::InitInstance()
{
    CWinAppEx::InitInstance();
    QApplication::setApplicationName(QStringLiteral("Kinovo"));
    QApplication::setApplicationVersion(QString::fromLatin1(kKinovoVersion));
    // Ties the windows to the menu entry (kinovo.desktop) and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("kinovo"));
    const QIcon icon(QStringLiteral(":/png/128.png"));
    if (icon.isNull()) qCWarning(lcApp) << "resource :/png/128.png: the window icon cannot be loaded";
    QApplication::setWindowIcon(icon);
    qCDebug(lcApp) << "Kinovo" << kKinovoVersion << "starting";
    {
        CKinovoDlg dlg;
        m_pMainWnd = &dlg;
        dlg.DoModal();
        m_pMainWnd = nullptr;
    }
    // No loop of the application's own: the program ends with the dialog.
    return false;
}

int CKinovoApp::ExitInstance()
{
    // A recording stopped as the window closed is finished before the end.
    kinovo::media::FinishRecordings();
    return CWinAppEx::ExitInstance();
}
