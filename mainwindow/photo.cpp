// Photos: the camera's frame on screen at the applied mode's full size,
// with the shutter view showing that frame meanwhile.
#include "kinovodlg.h"

#include "mainwindow_log.h"
#include "shell.h"

#include <QPointer>
#include <QTimer>

#include <functional>
#include <optional>

QSize CKinovoDlg::PhotoSize() const
{
    std::optional<QSize> chosen;
    if (m_nCurrentMode >= 0 && m_nCurrentMode < static_cast<int>(m_modes.size())) {
        const kinovo::VideoFormat& mode = m_modes[static_cast<std::size_t>(m_nCurrentMode)];
        chosen = QSize(mode.width, mode.height);
    }
    return kinovo::PhotoSize(m_graph, chosen);
}

void CKinovoDlg::ShowShutter(const kinovo::media::StillFrame& frame)
{
    const unsigned shutter = ++m_nShutterCount;
    // Where the live picture shows, inside the skin border.
    const QSize inner = m_pPicture ? m_pPicture->size() : QSize();
    // The frozen picture is the photo's frame, decoded for the inner area
    // off this thread; the view shows once it is there, a few ms later.
    const QPointer<QWidget> window = GetSafeHwnd();
    kinovo::media::RunPromptly([this, window, frame, inner, shutter] {
        QImage frozen = inner.isEmpty() ? QImage() : frame.DecodeForView(inner);
        return std::function<void()>([this, window, shutter, frozen = std::move(frozen)] {
            if (!window) return;
            if (frozen.isNull())
                m_pFrozenFrame.reset();
            else
                m_pFrozenFrame = std::make_unique<QImage>(frozen);
            m_bShutterActive = true;
            Invalidate();
            // The shutter view stays a moment, as a camera's would; nothing
            // waits for it.
            QTimer::singleShot(kShutterTime, GetSafeHwnd(), [this, shutter] {
                if (shutter != m_nShutterCount) return; // a later photo keeps it open
                m_pFrozenFrame.reset();
                m_bShutterActive = false;
                Invalidate();
            });
        });
    });
}

bool CKinovoDlg::TakePhoto()
{
    SetCursor(m_hCursorHand);
    // The frame on screen, taken from the graph without a copy or a decode:
    // the shutter view and the photo both come from it.
    QString reason;
    const kinovo::media::StillFrame frame = kinovo::LatestFrame(m_graph, &reason);
    ShowShutter(frame);
    if (frame.empty()) {
        qCWarning(lcMainWindow).noquote() << "photo:" << reason;
        Attention(QStringLiteral("The photo could not be taken: %1.").arg(reason));
        return false;
    }
    const std::optional<QString> name =
        NewFileName(m_strPictureFolder, QStringLiteral("img_"), QStringLiteral(".jpg"), QStringLiteral("photo"));
    if (!name) return false;
    // Two photos in quick succession must not pick the same free name.
    m_pendingPhotos.push_back(*name);
    // Decoded at the mode's full size and saved in the background; the
    // window hears when the file is written.
    const QSize size = PhotoSize();
    const QPointer<QWidget> window = GetSafeHwnd();
    kinovo::media::RunInBackground([this, window, frame, path = *name, size, encoder = m_jpegClsid] {
        QString why;
        const bool ok = kinovo::SavePhoto(frame, size, path, encoder, &why);
        return std::function<void()>([this, window, path, ok, why] {
            if (window) PhotoSaved(path, ok, why);
        });
    });
    return true;
}

void CKinovoDlg::PhotoSaved(const QString& path, bool ok, const QString& why)
{
    std::erase(m_pendingPhotos, path);
    // A photo that was not saved must not pass for one that was.
    if (!ok) {
        Attention(QStringLiteral("The photo could not be saved: %1.").arg(why));
        return;
    }
    m_strLastPhoto = path;
    if (m_nCaptureState == Previewing && !m_bExplorerShown) {
        RevealFile(path);
        m_bExplorerShown = true;
        m_bPhotoPending = false;
    } else if (m_nCaptureState == Recording) {
        m_bPhotoPending = true;
    }
}
