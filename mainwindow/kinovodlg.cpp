#include "kinovodlg.h"

CKinovoDlg::CKinovoDlg() : CPNGDialog(102, 129, 15, 15, 15, 15, false) {}

CKinovoDlg::~CKinovoDlg() = default;

bool CKinovoDlg::OnInitDialog()
{
    CPNGDialog::OnInitDialog();
    SetWindowTitle(QStringLiteral("Kinovo"));
    // Centred for a 610 x 450 window, then 30 pixels right and down.
    const CPoint screen = GetScreenSize(GetSafeHwnd());
    SetWindowPos(nullptr, (screen.x - 610) / 2, (screen.y - 450) / 2, 670, 510, 0);
    SetWindowPos(nullptr, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    ::SetWindowPos(m_hLayerWnd, nullptr, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    return true;
}
