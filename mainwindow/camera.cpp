// Camera selection and the capture-mode list.
#include "kinovodlg.h"

#include "capture/device_discovery.h"
#include "capture/image_adjustments.h"
#include "capture/video_formats.h"
#include "mainwindow_log.h"
#include "platform/media/linux/device_holders.h"

#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <utility>

namespace {

// The line under "NO SIGNAL" for a camera another program streams from.
QString HolderLine(const std::vector<kinovo::media::linux_backend::DeviceHolder>& holders)
{
    QStringList names;
    for (const auto& holder : holders)
        if (const QString name = QString::fromStdString(holder.name); !names.contains(name)) names << name;
    if (names.isEmpty()) return QStringLiteral("in use by another program");
    // The line stays narrower than the window.
    if (names.size() > 2) return QStringLiteral("in use by %1, %2 and others").arg(names[0], names[1]);
    return QStringLiteral("in use by ") + names.join(QStringLiteral(" and "));
}

// How many of the six image adjustments the camera reports.
int CountAdjustments(const kinovo::VideoDevice& device)
{
    int count = 0;
    for (int c = 0; c < kinovo::kImageControlCount; ++c)
        if (device.property(kinovo::SlotOfControl(static_cast<kinovo::ImageControl>(c))).valid) ++count;
    return count;
}

} // namespace

int CKinovoDlg::SelectCamera(int index, std::optional<kinovo::VideoFormat> wanted)
{
    if (m_nCaptureState == Busy) return m_nCurrentCamera;
    m_nCaptureState = Busy;
    // Another choice: a camera that went is no longer waited for.
    m_goneCamera.reset();
    ForgetCameraHolder();
    if (index < 0 || index >= static_cast<int>(m_videoDevices.size())) {
        m_nCurrentCamera = -1;
        m_nCaptureState = NoSignal;
        InvalidateAll();
        return -1;
    }
    kinovo::VideoDevice& device = m_videoDevices[static_cast<std::size_t>(index)];
    // A camera opened for the first time has its controls read once it has
    // settled, on a timer.
    const bool firstOpening = !device.opened;
    if (const kinovo::Status status = kinovo::OpenVideoDevice(device, kinovo::ControlsRead::ByCaller);
        status != kinovo::media::kOk) {
        qCWarning(lcMainWindow).nospace().noquote()
            << "camera \"" << device.name << "\" (" << device.devicePath
            << "): OpenVideoDevice failed: " << QString::fromStdString(kinovo::media::StatusText(status));
        // The previous camera stops, and neither its picture nor its modes
        // stay behind "NO SIGNAL"; the window takes the size it has without
        // a picture.
        kinovo::ReleaseGraph(m_graph);
        m_nCurrentCamera = index;
        m_modes.clear();
        m_nCurrentMode = -1;
        m_modeList.ClearItems();
        m_buttons[Mode].state = -1;
        m_settingsPanel.m_pDevice = nullptr;
        m_buttons[Settings].state = -1;
        SetWindowRect(InitialWindowRect(GetScreenSize(GetSafeHwnd())));
        ShowNoSignal();
        return index;
    }

    const bool noAdjustments = CountAdjustments(device) == 0;
    // Some cameras report their controls only a moment after opening: they
    // are read again on a timer, so that nothing waits for them.
    ++m_nCameraSelections;
    if (noAdjustments) RereadAdjustments(index, firstOpening ? 0 : 1);

    m_modes = BuildModeList(device.formats);
    if (m_nCurrentCamera != -1) kinovo::StopPreview(m_graph);
    m_nCurrentCamera = index;
    m_settingsPanel.m_pDevice = &device;
    m_buttons[Settings].state = noAdjustments ? -1 : 0;

    m_modeList.ClearItems();
    if (!m_modes.empty()) {
        int chosen = 0;
        for (std::size_t i = 0; wanted && i < m_modes.size(); ++i)
            if (m_modes[i].width == wanted->width && m_modes[i].height == wanted->height &&
                m_modes[i].subtype == wanted->subtype)
                chosen = static_cast<int>(i);
        ApplyCaptureMode(chosen);
        for (const kinovo::VideoFormat& mode : m_modes) {
            const int cell = BadgeIndex(mode.width, mode.height);
            const QImage* badge = cell < static_cast<int>(m_badgeSprites.size())
                                      ? m_badgeSprites[static_cast<std::size_t>(cell)].get()
                                      : nullptr;
            m_modeList.AddItem(badge, ModeEntryText(mode));
        }
        m_modeList.m_nSelected = chosen;
        m_buttons[Mode].state = 0;
    } else {
        qCWarning(lcMainWindow).nospace()
            << "camera \"" << device.name << "\": no format at 25 fps or more; keeping its own";
        m_nCurrentMode = -1;
        m_buttons[Mode].state = -1;
    }

    // A camera that lists and opens but cannot stream (another program
    // holds it) shows "NO SIGNAL" rather than an empty picture.
    kinovo::Status status = kinovo::BuildGraph(m_graph, &device, CurrentMicSource());
    QString why, call;
    if (status < 0) {
        qCWarning(lcMainWindow).nospace()
            << "camera \"" << device.name << "\" (" << device.devicePath
            << "): BuildGraph failed: " << QString::fromStdString(kinovo::media::StatusText(status));
    } else if (status = kinovo::StartPreview(m_graph, m_pPicture, &why, &call); status < 0) {
        qCWarning(lcMainWindow).nospace().noquote()
            << "camera \"" << device.name << "\" (" << device.devicePath << "): StartPreview failed: " << why;
    }
    if (m_graph.session)
        m_graph.session->SetCameraLostHandler(
            [this](const std::error_code& error) { CameraLost(QString::fromStdString(error.message())); });
    if (status < 0) {
        ShowNoSignal();
        if (kinovo::media::ErrnoFromStatus(status) == EBUSY) NameCameraHolder(call, why);
        return index;
    }
    m_bPreviewWanted = true;
    FollowAppliedMode();
    ShowPicture();
    m_nCaptureState = Previewing;
    // A camera works again: the buttons that need one lose their greyed look.
    for (ButtonId id : {Photo, Record})
        if (m_buttons[id].state == 2) m_buttons[id].state = 0;
    InvalidateAll();
    return index;
}

void CKinovoDlg::FollowAppliedMode()
{
    const auto applied = m_graph.session ? m_graph.session->format() : std::nullopt;
    if (!applied || m_nCurrentMode < 0 || m_nCurrentMode >= static_cast<int>(m_modes.size())) return;
    const kinovo::VideoFormat chosen = m_modes[static_cast<std::size_t>(m_nCurrentMode)];
    if (applied->width == chosen.width && applied->height == chosen.height) return;
    const QString name = m_videoDevices[static_cast<std::size_t>(m_nCurrentCamera)].name;
    qCWarning(lcMainWindow).noquote() << "camera" << name << "streams" << applied->width << "x" << applied->height
                                      << "instead of the capture mode" << ModeEntryText(chosen);
    // The mode in effect is the one shown and used: the list marks it when
    // it is one of its modes, and the window takes its shape.
    m_nCurrentMode = -1;
    for (std::size_t i = 0; i < m_modes.size(); ++i)
        if (m_modes[i].width == applied->width && m_modes[i].height == applied->height)
            m_nCurrentMode = static_cast<int>(i);
    m_modeList.m_nSelected = m_nCurrentMode;
    const CPoint shown = DisplayedPictureSize(applied->width, applied->height);
    const CRect rc = FitWindowToScreen(shown.x, shown.y, GetScreenSize(GetSafeHwnd()));
    SetWindowRect(rc);
    const QString text = QStringLiteral(
                             "The camera %1 did not take the capture mode %2; it gives %3 x %4 instead, "
                             "which Kinovo now uses.")
                             .arg(name, ModeEntryText(chosen))
                             .arg(applied->width)
                             .arg(applied->height);
    // Told once the window is up: this may run while it is being made.
    QTimer::singleShot(0, GetSafeHwnd(), [this, text] { Attention(text); });
}

void CKinovoDlg::ShowNoSignal()
{
    ForgetCameraHolder();
    m_bPreviewWanted = false;
    ShowPicture();
    m_nCaptureState = NoSignal;
    InvalidateAll();
}

void CKinovoDlg::ForgetCameraHolder()
{
    m_strCameraHolder.clear();
    ++m_nHolderSearches;
}

void CKinovoDlg::NameCameraHolder(const QString& call, const QString& why)
{
    if (!m_graph.session || m_nCurrentCamera < 0 || m_nCurrentCamera >= static_cast<int>(m_videoDevices.size())) return;
    const QString camera = m_videoDevices[static_cast<std::size_t>(m_nCurrentCamera)].name;
    const std::string node = m_graph.session->node();
    const unsigned search = m_nHolderSearches;
    const QPointer<QWidget> window = GetSafeHwnd();
    // It reads the descriptors of every process under /proc: a few
    // milliseconds as a rule, but as slow as the number of processes makes
    // it, so never on this thread.
    kinovo::media::RunInBackground([this, window, camera, node, call, why, search] {
        const auto holders = kinovo::media::linux_backend::FindDeviceHolders(node);
        qCWarning(lcMainWindow).nospace().noquote()
            << "camera \"" << camera << "\" (" << QString::fromStdString(node)
            << "): " << (call.isEmpty() ? QStringLiteral("streaming") : call) << " failed: " << why << "; held by "
            << QString::fromStdString(kinovo::media::linux_backend::DescribeHolders(holders));
        return std::function<void()>([this, window, search, line = HolderLine(holders)] {
            // The window is gone, or shows another camera or state by now.
            if (!window || search != m_nHolderSearches || m_nCaptureState != NoSignal) return;
            m_strCameraHolder = line;
            InvalidateAll();
        });
    });
}

void CKinovoDlg::CameraLost(const QString& why)
{
    const QString name = m_nCurrentCamera >= 0 && m_nCurrentCamera < static_cast<int>(m_videoDevices.size())
                             ? m_videoDevices[static_cast<std::size_t>(m_nCurrentCamera)].name
                             : QString();
    qCWarning(lcMainWindow).noquote() << "camera" << name << "was lost:" << why;
    // A frozen picture must not pass for a live one: the recording ends
    // now, with what the camera gave, and nothing more can be taken.
    const bool wasRecording = m_nCaptureState == Recording;
    if (wasRecording) StopRecordingNow();
    ShowNoSignal();
    QString text = QStringLiteral("The camera %1 stopped giving a picture: %2.").arg(name, why);
    if (wasRecording)
        text += QStringLiteral(" The recording was stopped; its file keeps what was recorded until then.");
    m_bTellingCameraLoss = true;
    Attention(text);
    m_bTellingCameraLoss = false;
    // The cameras listed meanwhile are taken once the session's call that
    // brought us here has returned: taking them may end that session.
    if (m_pendingCameras)
        QTimer::singleShot(0, GetSafeHwnd(), [this] {
            if (auto cameras = std::exchange(m_pendingCameras, std::nullopt)) CamerasChanged(std::move(*cameras));
        });
}

void CKinovoDlg::CamerasChanged(std::vector<kinovo::VideoDevice> cameras)
{
    if (m_bTellingCameraLoss || m_nCaptureState == Busy) {
        m_pendingCameras = std::move(cameras);
        // A camera being chosen (or the window being closed) is waited for.
        if (!m_bTellingCameraLoss)
            QTimer::singleShot(100, GetSafeHwnd(), [this] {
                if (auto pending = std::exchange(m_pendingCameras, std::nullopt)) CamerasChanged(std::move(*pending));
            });
        return;
    }
    const auto sameListing = [](const kinovo::VideoDevice& a, const kinovo::VideoDevice& b) {
        return a.node == b.node && kinovo::SameCamera(a, b);
    };
    if (std::equal(cameras.begin(), cameras.end(), m_videoDevices.begin(), m_videoDevices.end(), sameListing)) return;
    const int count = static_cast<int>(m_videoDevices.size());
    // A choice made in the closed list that the timer has not applied yet
    // is applied first, so that the new list keeps it.
    if (const int pending = m_cameraList.m_nSelected;
        !m_cameraList.m_bShown && pending >= 0 && pending != m_nCurrentCamera && pending < count)
        SelectCamera(pending);
    const bool haveCurrent = m_nCurrentCamera >= 0 && m_nCurrentCamera < count;
    const auto currentAt = [&]() -> int {
        if (!haveCurrent) return -1;
        const kinovo::VideoDevice& current = m_videoDevices[static_cast<std::size_t>(m_nCurrentCamera)];
        for (std::size_t i = 0; i < cameras.size(); ++i)
            if (sameListing(cameras[i], current)) return static_cast<int>(i);
        return -1;
    }();
    if (haveCurrent && currentAt < 0 && (m_nCaptureState == Previewing || m_nCaptureState == Recording)) {
        // Gone before its stream noticed: lost as if the stream had ended,
        // and the listing taken after the message.
        if (m_graph.session) m_graph.session->SetCameraLostHandler({});
        m_pendingCameras = std::move(cameras);
        CameraLost(QStringLiteral("it was unplugged"));
        return;
    }

    // Cameras still at their node keep their records (and openings).
    const std::vector<int> from = kinovo::KeepCameraRecords(cameras, m_videoDevices);
    if (haveCurrent && currentAt < 0) {
        kinovo::VideoDevice& gone = m_videoDevices[static_cast<std::size_t>(m_nCurrentCamera)];
        qCWarning(lcMainWindow).nospace().noquote()
            << "camera \"" << gone.name << "\" (" << gone.node << ") is gone; it starts again when it is plugged back";
        std::optional<kinovo::VideoFormat> mode;
        if (m_nCurrentMode >= 0 && m_nCurrentMode < static_cast<int>(m_modes.size()))
            mode = m_modes[static_cast<std::size_t>(m_nCurrentMode)];
        if (m_settingsPanel.m_bShown) m_settingsPanel.ClosePanel();
        m_settingsPanel.m_pDevice = nullptr;
        m_buttons[Settings].state = -1;
        kinovo::ReleaseGraph(m_graph);
        m_graph.device = nullptr;
        m_goneCamera = GoneCamera{std::move(gone), mode};
        m_nCurrentCamera = -1;
        ShowNoSignal();
    }
    // The camera that went, back: its record keeps its opening at the same
    // node; at another node it is opened anew.
    int back = -1;
    if (m_goneCamera && m_nCurrentCamera < 0) {
        for (std::size_t i = 0; i < cameras.size() && back < 0; ++i)
            if (from[i] < 0 && kinovo::SameCamera(cameras[i], m_goneCamera->device)) back = static_cast<int>(i);
        if (back >= 0) {
            std::vector<kinovo::VideoDevice> gone;
            gone.push_back(std::move(m_goneCamera->device));
            std::vector<kinovo::VideoDevice> returned;
            returned.push_back(std::move(cameras[static_cast<std::size_t>(back)]));
            kinovo::KeepCameraRecords(returned, gone);
            cameras[static_cast<std::size_t>(back)] = std::move(returned.front());
        }
    }
    m_videoDevices = std::move(cameras);
    m_nCurrentCamera = currentAt;
    if (currentAt >= 0) {
        kinovo::VideoDevice* current = &m_videoDevices[static_cast<std::size_t>(currentAt)];
        if (m_settingsPanel.m_pDevice) m_settingsPanel.m_pDevice = current;
        if (m_graph.device) m_graph.device = current;
    }
    qCDebug(lcMainWindow) << m_videoDevices.size() << "cameras now";
    if (m_cameraList.m_bShown) m_cameraList.ClosePanel();
    m_cameraList.ClearItems();
    for (const kinovo::VideoDevice& camera : m_videoDevices) m_cameraList.AddItem(nullptr, camera.name);
    m_cameraList.m_nSelected = m_nCurrentCamera;
    m_buttons[Camera].state = m_videoDevices.size() >= 2 ? 0 : -1;

    if (back >= 0) {
        const kinovo::VideoDevice& camera = m_videoDevices[static_cast<std::size_t>(back)];
        qCWarning(lcMainWindow).nospace().noquote()
            << "camera \"" << camera.name << "\" (" << camera.node << ") is back";
        const auto mode = m_goneCamera->mode;
        m_goneCamera.reset();
        SelectCamera(back, mode);
        m_cameraList.m_nSelected = m_nCurrentCamera;
    } else if (m_nCaptureState == NoCamera && !m_videoDevices.empty()) {
        // As at start-up: the first camera in its largest mode.
        qCWarning(lcMainWindow).nospace().noquote()
            << "camera \"" << m_videoDevices.front().name << "\" (" << m_videoDevices.front().node << ") plugged in";
        SelectCamera(0);
        m_cameraList.m_nSelected = m_nCurrentCamera;
    }
    InvalidateAll();
}

void CKinovoDlg::WatchSignal()
{
    const bool wasShown = m_damagedSignal.shown();
    if ((m_nCaptureState == Previewing || m_nCaptureState == Recording) && m_graph.session) {
        const auto frames = m_graph.session->Frames();
        const auto now =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch());
        m_damagedSignal.Update(now.count(), frames.whole, frames.damaged);
    } else {
        m_damagedSignal.Reset();
    }
    if (m_damagedSignal.shown() == wasShown) return;
    const QString name = m_nCurrentCamera >= 0 && m_nCurrentCamera < static_cast<int>(m_videoDevices.size())
                             ? m_videoDevices[static_cast<std::size_t>(m_nCurrentCamera)].name
                             : QString();
    if (m_damagedSignal.shown())
        qCWarning(lcMainWindow).noquote()
            << "camera" << name << "sends damaged frames:" << m_damagedSignal.damagedInSpan() << "of"
            << m_damagedSignal.framesInSpan() << "in the last 2 s";
    else if (CameraWorks())
        qCInfo(lcMainWindow).noquote() << "camera" << name << "sends whole frames again";
    Invalidate();
}

void CKinovoDlg::RereadAdjustments(int camera, int pass)
{
    // Pass 0 is the first reading, once a newly opened camera has settled.
    const auto pause = pass == 0 ? kinovo::kOpenSettleTime : kAdjustmentRereadPause;
    QTimer::singleShot(pause, GetSafeHwnd(), [this, camera, pass, selection = m_nCameraSelections] {
        // Another camera, or the same one chosen anew, since.
        if (selection != m_nCameraSelections || camera != m_nCurrentCamera) return;
        kinovo::VideoDevice& device = m_videoDevices[static_cast<std::size_t>(camera)];
        kinovo::ReadImageProperties(device);
        if (CountAdjustments(device) > 0) {
            qCDebug(lcMainWindow).nospace()
                << "camera \"" << device.name << "\": its controls answered at read " << pass + 1;
            if (m_buttons[Settings].state == -1) m_buttons[Settings].state = 0;
            InvalidateRect(m_buttons[Settings].rc);
        } else if (pass < kAdjustmentRereads) {
            RereadAdjustments(camera, pass + 1);
        }
    });
}

int CKinovoDlg::ApplyCaptureMode(int index)
{
    if (index < 0 || index >= static_cast<int>(m_modes.size())) return -1;
    m_nCurrentMode = index;
    CPoint shown{640, 480};
    if (m_nCurrentCamera >= 0 && m_nCurrentCamera < static_cast<int>(m_videoDevices.size())) {
        kinovo::VideoDevice& device = m_videoDevices[static_cast<std::size_t>(m_nCurrentCamera)];
        const kinovo::VideoFormat& mode = m_modes[static_cast<std::size_t>(index)];
        shown = DisplayedPictureSize(mode.width, mode.height);
        kinovo::ApplyFormat(device, mode.index, 25);
    }
    const CRect rc = FitWindowToScreen(shown.x, shown.y, GetScreenSize(GetSafeHwnd()));
    SetWindowRect(rc);
    return m_nCurrentMode;
}
