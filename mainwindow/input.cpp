// The main window under the pointer and in time: hover and press looks,
// the panels, the choices picked up from the list panels, auto-hiding
// buttons, and the preview following the window.
#include "kinovodlg.h"

#include "mainwindow_log.h"

#include <QTimer>

#include <cerrno>

CPoint CKinovoDlg::ScreenPoint(CPoint point) const
{
    CRect rc;
    GetWindowRect(&rc);
    return {rc.left + point.x, rc.top + point.y};
}

void CKinovoDlg::SetButtonState(ButtonId id, int state)
{
    if (m_buttons[id].state == state) return;
    m_buttons[id].state = state;
    InvalidateRect(m_buttons[id].rc);
}

// The pointer's position is the event's own: under load the pointer may
// already be elsewhere when the event is handled, and a drag must start
// where the press was.
void CKinovoDlg::OnMouseMove(unsigned nFlags, CPoint p)
{
    const CPoint screen = ScreenPoint(p);
    const bool up = (nFlags & MK_LBUTTON) == 0;
    if (screen == m_ptLastCursor) {
        if (m_bButtonsHidden) SetCursor(NoCursor());
    } else {
        m_ptLastCursor = screen;
        m_bButtonsHidden = false;
        m_nIdleMs = 0;
        InvalidateRect(m_buttons[Close].rc);
        InvalidateRect(m_buttons[Settings].rc);
        const auto over = [&](ButtonId id) { return m_buttons[id].HitTest(p.x, p.y); };
        for (ButtonId id : {About, Close}) {
            if (over(id)) {
                SetCursor(m_hCursorHand);
                if (m_buttons[id].state == 0 && up) SetButtonState(id, 1);
            } else if (m_buttons[id].state != 0) {
                SetButtonState(id, 0);
            }
        }
        for (ButtonId id : {Settings, Photo, Record, Camera}) {
            const bool needsCamera = id == Photo || id == Record;
            if (over(id) && (!needsCamera || CameraWorks())) {
                SetCursor(m_hCursorHand);
                if (m_buttons[id].state == 0 && up) SetButtonState(id, 1);
            } else if (m_buttons[id].state == 1 && up) {
                SetButtonState(id, 0);
            }
        }
        if (over(Microphone) && m_buttons[Microphone].state != 6) {
            SetCursor(m_hCursorHand);
            if (up && m_buttons[Microphone].state == 0) SetButtonState(Microphone, 1);
            if (up && m_buttons[Microphone].state == 3) SetButtonState(Microphone, 4);
        } else {
            if (up && m_buttons[Microphone].state == 1) SetButtonState(Microphone, 0);
            if (up && m_buttons[Microphone].state == 4) SetButtonState(Microphone, 3);
        }
        if (over(Mode)) {
            SetCursor(m_hCursorHand);
            if (m_buttons[Mode].state == 0 && up) SetButtonState(Mode, 1);
        } else if (m_buttons[Mode].state == 1 && up) {
            SetButtonState(Mode, 0);
        }
    }
    CPNGDialog::OnMouseMove(nFlags, p);
}

void CKinovoDlg::OpenListPanel(CBottomMenu& list, ButtonId button)
{
    // Panels are children of the window: their places are in its coordinates.
    const CRect& b = m_buttons[button].rc;
    list.Hide();
    list.SetGeometry(QRect(b.left - 16, b.bottom - list.m_nCount * kListRowHeight - 60, 250, 160));
    list.Show();
}

bool CKinovoDlg::ClosePanels()
{
    bool closed = false;
    if (m_settingsPanel.m_bShown) {
        m_settingsPanel.ClosePanel();
        SetButtonState(Settings, 0);
        closed = true;
    }
    if (m_cameraList.m_bShown) {
        m_cameraList.ClosePanel();
        SetButtonState(Camera, 0);
        closed = true;
    }
    if (m_modeList.m_bShown) {
        m_modeList.ClosePanel();
        SetButtonState(Mode, 0);
        closed = true;
    }
    if (m_micList.m_bShown) {
        m_micList.ClosePanel();
        SetButtonState(Microphone, m_nCurrentMic == -1 ? 3 : 0);
        closed = true;
    }
    return closed;
}

bool CKinovoDlg::OnKeyDown(int key)
{
    // The lists take no keys of their own: Return and Escape close an open
    // panel first, and end the program only when none is open.
    const bool closing = key == Qt::Key_Escape || key == Qt::Key_Return || key == Qt::Key_Enter;
    return closing && ClosePanels();
}

void CKinovoDlg::OnLButtonDown(unsigned nFlags, CPoint p)
{
    if (m_aboutPanel.m_bShown) {
        m_aboutPanel.Raise();
        return;
    }
    const bool settingsWasShown = m_settingsPanel.m_bShown;
    const bool cameraListWasShown = m_cameraList.m_bShown;
    const bool modeListWasShown = m_modeList.m_bShown;
    const bool micListWasShown = m_micList.m_bShown;
    ClosePanels();

    const auto hit = [&](ButtonId id) { return m_buttons[id].HitTest(p.x, p.y); };
    if (hit(About)) {
        SetButtonState(About, 2);
        SetCursor(m_hCursorHand);
        CRect rc;
        GetWindowRect(&rc);
        m_aboutPanel.SetGeometry(QRect(rc.Width() / 2 - 210, rc.Height() / 2 - 160, 420, 320));
        m_aboutPanel.Show();
        return;
    }
    if (hit(Photo) && CameraWorks()) TakePhoto();
    if (hit(Record) && CameraWorks()) ToggleRecording();
    if (!m_bButtonsHidden) {
        if (hit(Settings) && CameraWorks()) {
            const int s = m_buttons[Settings].state;
            SetButtonState(Settings, s == 0 || s == 2 ? 1 : 2);
            SetCursor(m_hCursorHand);
            if (!settingsWasShown) {
                const CRect& b = m_buttons[Settings].rc;
                m_settingsPanel.Hide();
                m_settingsPanel.SetGeometry(QRect(b.left - 16, b.bottom, 250, 300));
                m_settingsPanel.Show();
                return;
            }
        }
        // While recording the camera, mode and microphone buttons are not drawn.
        if (m_nCaptureState != Recording) {
            const std::pair<ButtonId, std::pair<CBottomMenu*, bool>> lists[] = {
                {Camera, {&m_cameraList, cameraListWasShown}}, {Mode, {&m_modeList, modeListWasShown}}};
            for (const auto& [id, list] : lists) {
                if (!hit(id)) continue;
                if (m_buttons[id].state == 0 || m_buttons[id].state == 1) SetButtonState(id, 2);
                SetCursor(m_hCursorHand);
                if (!list.second) {
                    OpenListPanel(*list.first, id);
                    return;
                }
            }
            if (hit(Microphone) && m_buttons[Microphone].state != 6) {
                const int s = m_buttons[Microphone].state;
                if (s == 0 || s == 1) SetButtonState(Microphone, 2);
                else if (s == 3 || s == 4) SetButtonState(Microphone, 5);
                SetCursor(m_hCursorHand);
                if (!micListWasShown) {
                    OpenListPanel(m_micList, Microphone);
                    return;
                }
            }
        }
        if (hit(Close)) {
            SetButtonState(Close, 2);
            SetCursor(m_hCursorHand);
            // Stops and saves a running recording first.
            if (m_nCaptureState == Recording) ToggleRecording();
            // The pressed button shows a moment before the window goes.
            QTimer::singleShot(300, GetSafeHwnd(), [this] { OnCancel(); });
            return;
        }
    }
    CPNGDialog::OnLButtonDown(nFlags, p);
}

void CKinovoDlg::OnLButtonDblClk(unsigned nFlags, CPoint p)
{
    for (ButtonId id : {Close, Settings, Photo, Record, Camera, Microphone})
        if (m_buttons[id].HitTest(p.x, p.y)) return;
    CPNGDialog::OnLButtonDblClk(nFlags, p);
}

void CKinovoDlg::OnTimer(unsigned nIDEvent)
{
    if (nIDEvent == m_nTimerId && m_nTimerId != 0) {
        // The clock and the blinking follow this timer alone, whatever
        // other timers run (a border drag's).
        if (m_nCaptureState == Recording) RecordingTick();
        ReportRepairs();
        WatchSignal();
        m_nIdleMs += 100;
        const bool panelOpen = m_settingsPanel.m_bShown || m_cameraList.m_bShown || m_micList.m_bShown ||
                               m_modeList.m_bShown;
        if (panelOpen) {
            m_nIdleMs = 0;
        } else {
            const auto hide = [this] {
                m_bButtonsHidden = true;
                for (ButtonId id : {Close, Settings, Photo, Camera, Microphone}) InvalidateRect(m_buttons[id].rc);
            };
            CPoint screen;
            GetCursorPos(&screen);
            CRect rc;
            GetWindowRect(&rc);
            const bool inside =
                rc.left <= screen.x && screen.x <= rc.right && rc.top <= screen.y && screen.y <= rc.bottom;
            if (m_nIdleMs > 2000 || (!m_bButtonsHidden && !inside)) hide();
            // A pointer at rest gets no move event, so it is hidden here with
            // the buttons; the next move shows it again.
            if (m_bButtonsHidden && inside) SetCursor(NoCursor());
        }
        const int cameras = static_cast<int>(m_videoDevices.size());
        const int camera = m_cameraList.m_nSelected;
        if (!m_cameraList.m_bShown && camera >= 0 && camera != m_nCurrentCamera && camera < cameras &&
            m_nCaptureState != Busy)
            SelectCamera(camera);
        const int mode = m_modeList.m_nSelected;
        if (!m_modeList.m_bShown && mode >= 0 && mode != m_nCurrentMode && mode < static_cast<int>(m_modes.size()) &&
            m_nCaptureState == Previewing) {
            kinovo::StopPreview(m_graph);
            ApplyCaptureMode(mode);
            QString why, call;
            if (const kinovo::Status status = kinovo::StartPreview(m_graph, m_pPicture, &why, &call); status < 0) {
                // A mode the camera cannot stream in shows "NO SIGNAL", not a frozen picture.
                qCWarning(lcMainWindow).noquote()
                    << "capture mode" << ModeEntryText(m_modes[static_cast<std::size_t>(mode)])
                    << ": StartPreview failed:" << why;
                ShowNoSignal();
                if (kinovo::media::ErrnoFromStatus(status) == EBUSY) NameCameraHolder(call, why);
            } else {
                FollowAppliedMode();
                ShowPicture();
            }
        }
        const int mic = m_micList.m_nSelected;
        if (!m_micList.m_bShown && mic >= 0 && mic - 1 != m_nCurrentMic &&
            mic - 1 < static_cast<int>(m_audioDevices.size()))
            SelectMicrophone(mic - 1);
    }
    CPNGDialog::OnTimer(nIDEvent);
}

int CKinovoDlg::SelectMicrophone(int index)
{
    m_nCurrentMic = index >= 0 && index < static_cast<int>(m_audioDevices.size()) ? index : -1;
    m_buttons[Microphone].state = m_nCurrentMic == -1 ? 3 : 0;
    InvalidateRect(m_buttons[Microphone].rc);
    return m_nCurrentMic;
}
