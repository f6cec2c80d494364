// Photos: a still of the live picture at the applied mode's full size,
// with the shutter view shown meanwhile.
#include "kinovodlg.h"

#include "mainwindow_log.h"
#include "platform/media/file_names.h"
#include "shell.h"

#include <QFile>
#include <QImageWriter>
#include <QThread>

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

bool CKinovoDlg::SaveDibAsJpeg(const QImage& picture, const QString& path, QString* why)
{
    if (m_jpegClsid.isEmpty() || picture.isNull()) {
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
    QImageWriter writer(&file, m_jpegClsid);
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
    if (m_nCurrentMode >= 0 && m_nCurrentMode < static_cast<int>(m_modes.size())) {
        const kinovo::VideoFormat& mode = m_modes[static_cast<std::size_t>(m_nCurrentMode)];
        return {mode.width, mode.height};
    }
    return {1024, 768};
}

bool CKinovoDlg::TakePhoto()
{
    if (!m_hPreviewWnd) return false;
    SetCursor(m_hCursorHand);
    GrabWindowPixels(&m_pFrozenFrame, m_hPreviewWnd);
    m_bShutterActive = true;
    RenderLayer();

    const CPoint size = PhotoSize();
    // Enlarged while unmapped: a window manager keeps part of a mapped window
    // on the screen, and the shutter view stands in for it meanwhile.
    ::ShowWindow(m_hPreviewWnd, SW_HIDE);
    ::SetWindowPos(m_hPreviewWnd, nullptr, -size.x, -size.y, size.x, size.y, SWP_NOZORDER);
    kinovo::ResizeVideoWindow(m_graph, size.x, size.y);
    // The renderer decodes on its own thread; give it time for a frame at
    // the new size.
    QThread::msleep(400);

    bool ok = false;
    QString path;
    QString why;
    if (const std::optional<QString> name = NewFileName(m_strPictureFolder, QStringLiteral("img_"),
                                                        QStringLiteral(".jpg"), QStringLiteral("photo"))) {
        path = *name;
        Image picture;
        if (GrabWindowPixels(&picture, m_hPreviewWnd)) {
            if (picture->size() != QSize(size.x, size.y))
                qCWarning(lcMainWindow) << "photo grabbed at" << picture->size() << "instead of" << size.x << "x"
                                        << size.y;
            ok = SaveDibAsJpeg(*picture, path, &why);
        } else {
            why = QStringLiteral("the picture could not be taken from the preview");
            qCWarning(lcMainWindow) << "photo:" << why;
        }
    }

    CRect rc;
    GetWindowRect(&rc);
    if (m_graph.session) kinovo::ResizeVideoWindow(m_graph, rc.Width() - 30, rc.Height() - 30);
    PlacePreviewWindow(HWND_NOTOPMOST);
    ShowPreview();
    BringLayerToTop();
    m_pFrozenFrame.reset();
    m_bShutterActive = false;
    RenderLayer();

    // A photo that was not saved must not pass for one that was.
    if (!path.isEmpty() && !ok) Attention(QStringLiteral("The photo could not be saved: %1.").arg(why));
    if (ok) {
        m_strLastPhoto = path;
        if (m_nCaptureState == Previewing && !m_bExplorerShown) {
            RevealFile(path);
            m_bExplorerShown = true;
            m_bPhotoPending = false;
        } else if (m_nCaptureState == Recording) {
            m_bPhotoPending = true;
        }
    }
    return ok;
}
