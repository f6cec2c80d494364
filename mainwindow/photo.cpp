// Photos: a still of the live picture at the applied mode's full size,
// with the shutter view shown meanwhile.
#include "kinovodlg.h"

#include "mainwindow_log.h"
#include "platform/media/file_names.h"
#include "shell.h"

#include <QFile>
#include <QImageWriter>
#include <QPointer>
#include <QTimer>

#include <functional>

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

bool CKinovoDlg::GrabWindowPixels(Image* buffer, HWND window)
{
    buffer->reset();
    if (!IsWindow(window) || window->width() <= 0 || window->height() <= 0) return false;
    // The window paints itself, its video included, at its current size.
    QImage picture = window->grab().toImage().convertToFormat(QImage::Format_RGB888);
    if (picture.isNull()) return false;
    *buffer = std::make_unique<QImage>(std::move(picture));
    return true;
}

bool CKinovoDlg::SaveDibAsJpeg(const QImage& picture, const QString& path, const QByteArray& encoder, QString* why)
{
    if (encoder.isEmpty() || picture.isNull()) {
        if (why) *why = QStringLiteral("no JPEG encoder or no picture");
        return false;
    }
    // Never over an existing file, even one that appeared after the name
    // was chosen. Opened by its own bytes: QFile would re-encode the name.
    const QByteArray name = kinovo::media::FileNameToBytes(path);
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        const QString reason = QString::fromLocal8Bit(std::strerror(errno));
        qCWarning(lcMainWindow).noquote() << "photo" << PrintablePath(path) << ": open failed:" << reason;
        if (why) *why = reason;
        return false;
    }
    QFile file;
    if (!file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        qCWarning(lcMainWindow).noquote()
            << "photo" << PrintablePath(path) << "cannot be written:" << file.errorString();
        if (why) *why = file.errorString();
        ::close(fd);
        ::unlink(name.constData());
        return false;
    }
    QImageWriter writer(&file, encoder);
    writer.setQuality(90);
    if (!writer.write(picture) || !file.flush()) {
        const QString reason = file.error() != QFileDevice::NoError ? file.errorString() : writer.errorString();
        qCWarning(lcMainWindow).noquote() << "photo" << PrintablePath(path) << "could not be written:" << reason;
        if (why) *why = reason;
        // The half-written file must go, whatever closing says on a full disk.
        file.close();
        if (::unlink(name.constData()) != 0)
            qCWarning(lcMainWindow).noquote()
                << "photo" << PrintablePath(path) << ": unlink failed:" << std::strerror(errno);
        return false;
    }
    return true;
}

CPoint CKinovoDlg::PhotoSize() const
{
    // The size the camera streams in: a mode it refused is not used.
    if (m_graph.session)
        if (const auto applied = m_graph.session->format()) return {applied->width, applied->height};
    if (m_nCurrentMode >= 0 && m_nCurrentMode < static_cast<int>(m_modes.size())) {
        const kinovo::VideoFormat& mode = m_modes[static_cast<std::size_t>(m_nCurrentMode)];
        return {mode.width, mode.height};
    }
    return {1024, 768};
}

bool CKinovoDlg::TakePhoto()
{
    if (!m_pPicture) return false;
    SetCursor(m_hCursorHand);
    GrabWindowPixels(&m_pFrozenFrame, m_pPicture);
    m_bShutterActive = true;
    Invalidate();
    // The shutter view stays a moment, as a camera's would; nothing waits
    // for it.
    const unsigned shutter = ++m_nShutterCount;
    QTimer::singleShot(kShutterTime, GetSafeHwnd(), [this, shutter] {
        if (shutter != m_nShutterCount) return; // a later photo keeps it open
        m_pFrozenFrame.reset();
        m_bShutterActive = false;
        Invalidate();
    });

    // The camera's newest frame, decoded at the mode's full size and saved
    // in the background; the window hears when the file is written.
    std::string reason;
    const kinovo::media::StillFrame frame =
        m_graph.session ? m_graph.session->NewestFrame(&reason) : kinovo::media::StillFrame();
    if (frame.empty()) {
        const QString why = reason.empty() ? QStringLiteral("there is no camera") : QString::fromStdString(reason);
        qCWarning(lcMainWindow).noquote() << "photo:" << why;
        Attention(QStringLiteral("The photo could not be taken: %1.").arg(why));
        return false;
    }
    const std::optional<QString> name =
        NewFileName(m_strPictureFolder, QStringLiteral("img_"), QStringLiteral(".jpg"), QStringLiteral("photo"));
    if (!name) return false;
    // Two photos in quick succession must not pick the same free name.
    m_pendingPhotos.push_back(*name);
    const CPoint size = PhotoSize();
    const QPointer<QWidget> window = GetSafeHwnd();
    kinovo::media::RunInBackground([this, window, frame, path = *name, size, encoder = m_jpegClsid] {
        std::string decodeWhy;
        const QImage still = frame.Decode(QSize(size.x, size.y), &decodeWhy);
        QString why = QString::fromStdString(decodeWhy);
        const bool ok =
            !still.isNull() && SaveDibAsJpeg(still.convertToFormat(QImage::Format_RGB888), path, encoder, &why);
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
