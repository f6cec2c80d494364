#include "kinovoapp.h"

#include "kinovodlg.h"

#include <QApplication>
#include <QIcon>

CKinovoApp theApp;

CKinovoApp::CKinovoApp() : CWinAppEx(true) {}

bool CKinovoApp::InitInstance()
{
    CWinAppEx::InitInstance();
    QApplication::setApplicationName(QStringLiteral("Kinovo"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/png/128.png")));
    {
        CKinovoDlg dlg;
        m_pMainWnd = &dlg;
        dlg.DoModal();
        m_pMainWnd = nullptr;
    }
    // No loop of the application's own: the program ends with the dialog.
    return false;
}

int CKinovoApp::ExitInstance() { return CWinAppEx::ExitInstance(); }
