// Recording control: start with a free-space guard and a free file name,
// the blinking button and clock while recording, the stop with a fresh
// preview and the file manager on the new file.
#include "kinovodlg.h"

#include "mainwindow_log.h"
#include "platform/media/recording_repair.h"
#include "shell.h"

#include <QPointer>
#include <QStringList>

#include <algorithm>
#include <chrono>
#include <system_error>
#include <utility>

namespace {

const QString kLowSpace =
    QStringLiteral("Not enough of the free space on your hard drive. Available volume is less than 100MB.");

QString Reason(kinovo::Status status) { return QString::fromStdString(kinovo::media::StatusText(status)); }

// m:ss of a recording, as its clock counts.
QString RecordingMoment(std::chrono::milliseconds at)
{
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(at).count();
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

void CKinovoDlg::Attention(const QString& text)
{
    MessageBox(GetSafeHwnd(), text, QStringLiteral("Attention"));
}

void CKinovoDlg::StartRepairs()
{
    try {
        m_repairThread = std::jthread([this, folder = m_strVideoFolder](std::stop_token stop) {
            QStringList repaired = kinovo::media::RepairInterruptedRecordings(folder, stop);
            std::lock_guard lock(m_repairMutex);
            m_repaired = std::move(repaired);
        });
    } catch (const std::system_error& e) {
        qCWarning(lcMainWindow) << "interrupted recordings are not repaired: std::thread failed:" << e.what();
    }
}

void CKinovoDlg::ReportRepairs()
{
    QStringList repaired;
    {
        std::lock_guard lock(m_repairMutex);
        if (!m_repaired) return;
        repaired = std::exchange(m_repaired, std::nullopt).value();
    }
    for (const QString& file : repaired)
        Attention(QStringLiteral("The recording %1 was interrupted and has been repaired.").arg(PrintablePath(file)));
}

QString CKinovoDlg::CurrentMicSource() const
{
    if (m_nCurrentMic < 0 || m_nCurrentMic >= static_cast<int>(m_audioDevices.size())) return {};
    return m_audioDevices[static_cast<std::size_t>(m_nCurrentMic)].devicePath;
}

std::optional<QString> CKinovoDlg::NewFileName(const QString& folder, const QString& prefix,
                                               const QString& extension, const QString& what)
{
    // A fresh account has no Videos or Pictures folder yet.
    if (!EnsureFolder(folder)) {
        Attention(QStringLiteral("The %1 folder %2 cannot be created.").arg(what, PrintablePath(folder)));
        return std::nullopt;
    }
    const DatedName day = TodaysName();
    // A photo still being written has its name already.
    auto taken = [this](const QString& name) {
        return FileExists(name) ||
               std::find(m_pendingPhotos.begin(), m_pendingPhotos.end(), name) != m_pendingPhotos.end();
    };
    auto path = FirstFreeName(folder + prefix, day.day, day.month, day.year, extension, taken);
    if (!path) {
        qCWarning(lcMainWindow).noquote()
            << "no free" << what << "file name left for today in" << PrintablePath(folder);
        Attention(QStringLiteral("All 9999 %1 file names of today are taken in %2. Move some files elsewhere "
                                 "and try again.")
                      .arg(what, PrintablePath(folder)));
    }
    return path;
}

int CKinovoDlg::ToggleRecording()
{
    if (m_nCaptureState == Previewing) StartRecordingNow();
    else if (m_nCaptureState == Recording) StopRecordingNow();
    return m_nCaptureState;
}

void CKinovoDlg::StartRecordingNow()
{
    const std::optional<std::uint64_t> free = FreeBytesAvailable(m_strVideoFolder);
    if (!EnoughSpaceToRecord(free)) {
        qCWarning(lcMainWindow).noquote()
            << "recording not started:" << *free << "bytes free for" << PrintablePath(m_strVideoFolder)
            << ", fewer than" << kRecordingReserveBytes;
        Attention(kLowSpace);
        return;
    }
    SetCursor(m_hCursorHand);
    SetButtonState(Record, 3);
    const std::optional<QString> path =
        NewFileName(m_strVideoFolder, QStringLiteral("video_"), QStringLiteral(".avi"), QStringLiteral("video"));
    if (!path) {
        SetButtonState(Record, 0);
        return;
    }
    m_nCaptureState = Recording;
    InvalidateRect(m_buttons[Camera].rc);
    InvalidateRect(m_buttons[Mode].rc);
    InvalidateRect(m_buttons[Microphone].rc);
    // The microphone chosen since the preview started is the one recorded.
    m_graph.microphone = CurrentMicSource();
    m_strRecordedMic =
        !m_graph.microphone.isEmpty() ? m_audioDevices[static_cast<std::size_t>(m_nCurrentMic)].name : QString();
    QString why;
    const kinovo::Status status = kinovo::StartRecording(m_graph, *path, &why);
    m_nRecordTicks = 0;
    m_tRecordStart = MonotonicSeconds();
    m_strLastVideo = *path;
    if (status != kinovo::media::kOk) {
        if (why.isEmpty()) why = Reason(status);
        qCWarning(lcMainWindow).noquote() << "recording to" << PrintablePath(*path) << "could not start:" << why;
        m_nCaptureState = Previewing;
        SetButtonState(Record, 0);
        Invalidate();
        if (!FolderWritable(m_strVideoFolder))
            why = QStringLiteral("the folder %1 cannot be written").arg(PrintablePath(m_strVideoFolder));
        Attention(QStringLiteral("The recording could not be started: %1.").arg(why));
    }
}

void CKinovoDlg::StopRecordingNow()
{
    // The camera goes on streaming; the file is finished in the background
    // and the window hears when it is complete.
    const QPointer<QWidget> window = GetSafeHwnd();
    kinovo::StopRecording(m_graph, [this, window, file = m_strLastVideo](const kinovo::media::RecordingResult& result) {
        if (window)
            RecordingFinished(file, result);
        else
            qCInfo(lcMainWindow).noquote()
                << "recording to" << PrintablePath(file) << "finished after the window closed";
    });
    ShowSilentMic(false);
    // The preview goes on; a camera lost meanwhile has shown "NO SIGNAL" by
    // the time its news arrives.
    m_nCaptureState = m_graph.session ? Previewing : NoSignal;
    m_nRecordTicks = 0;
    SetButtonState(Record, 0);
    Invalidate();
    if (m_bPhotoPending) {
        RevealFile(m_strLastPhoto);
        m_bExplorerShown = true;
        m_bPhotoPending = false;
    }
}

void CKinovoDlg::RecordingFinished(const QString& file, const kinovo::media::RecordingResult& result)
{
    QString why;
    if (result.error) {
        why = QString::fromStdString(result.error.message());
        qCWarning(lcMainWindow).noquote() << "recording to" << PrintablePath(file) << "ended with:" << why;
    }
    if (!FileExists(file)) {
        Attention(QStringLiteral("The recording could not be saved: %1.")
                      .arg(result.error ? why : QStringLiteral("the camera delivered no picture")));
        return;
    }
    RevealFile(file);
    QStringList notes;
    // The writer finishes its file itself when a write fails; the user
    // must learn that the recording is shorter than the clock showed.
    if (result.error)
        notes << QStringLiteral("The recording stopped: %1. The file keeps what was recorded until then.").arg(why);
    if (const std::uint64_t damaged = result.counters.framesUnusable; damaged > 0) {
        qCWarning(lcMainWindow).noquote()
            << "recording to" << PrintablePath(file) << ":" << damaged << "damaged frames from the camera, left empty";
        notes << QStringLiteral(
                     "%1 frames from the camera were damaged; the recording has an empty frame in "
                     "place of each.")
                     .arg(damaged);
    }
    if (const QString remark = SoundRemark(result.sound); !remark.isEmpty()) notes << remark;
    if (!notes.isEmpty()) Attention(notes.join(QStringLiteral("\n\n")));
}

QString CKinovoDlg::SoundRemark(const kinovo::media::SoundReport& sound) const
{
    if (!sound.recorded) return {};
    const QString mic = m_strRecordedMic;
    if (sound.stoppedAt) {
        qCWarning(lcMainWindow).noquote() << "recording to" << PrintablePath(m_strLastVideo) << ": microphone" << mic
                                          << "stopped after" << sound.stoppedAt->count() << "ms";
        QString text = QStringLiteral(
                           "The microphone %1 stopped at %2 of the recording; the rest of the recording "
                           "is silent.")
                           .arg(mic, RecordingMoment(*sound.stoppedAt));
        if (!sound.heard) text += QStringLiteral(" Until then it gave only silence; it may be muted.");
        return text;
    }
    if (sound.heard) return {};
    qCWarning(lcMainWindow).noquote() << "recording to" << PrintablePath(m_strLastVideo) << ": microphone" << mic
                                      << "gave only silence";
    return QStringLiteral(
               "The microphone %1 recorded only silence; it may be muted. Check its mute switch and "
               "its volume.")
        .arg(mic);
}

void CKinovoDlg::ShowSilentMic(bool silent)
{
    if (silent == m_bSilentMic) return;
    m_bSilentMic = silent;
    SkinButton& mic = m_buttons[Microphone];
    if (mic.state < 0 || mic.state > 5) return;
    // The hover and pressed variants stay; only sound or no sound changes.
    const bool noSound = silent || m_nCurrentMic == -1;
    mic.state = (noSound ? 3 : 0) + mic.state % 3;
    // It moves beside the clock while recording, and back.
    Invalidate();
}

void CKinovoDlg::RecordingTick()
{
    ++m_nRecordTicks;
    // Counters the capture threads publish: no waiting here.
    ShowSilentMic(kinovo::RecordingSound(m_graph).silentNow);
    if (kinovo::RecordingStatus(m_graph) < 0) {
        // The file was already finished by the writer (full disk, write
        // error); stopping now reports it and brings the preview back.
        ToggleRecording();
    } else if (m_nRecordTicks % 5 == 0) {
        m_buttons[Record].state = m_buttons[Record].state == 3 ? 4 : 3;
        InvalidateRect(m_buttons[Record].rc);
        InvalidateRect(m_rcClock);
    } else if (const std::optional<std::uint64_t> free = FreeBytesAvailable(m_strVideoFolder);
               // Read after the free space: the reserve only grows meanwhile,
               // so the sum is never less than what the stop gives back.
               !EnoughSpaceToRecord(free, kinovo::RecordingSpaceHeld(m_graph))) {
        qCWarning(lcMainWindow).noquote()
            << "recording to" << PrintablePath(m_strLastVideo) << "stopped:" << *free << "bytes free, fewer than"
            << kRecordingReserveBytes << "with what the recording holds";
        ToggleRecording();
        Attention(kLowSpace);
    }
}

void CKinovoDlg::EndWithRecordingSaved()
{
    if (m_nCaptureState == Recording) ToggleRecording();
}

void CKinovoDlg::OnOK()
{
    EndWithRecordingSaved();
    CPNGDialog::OnOK();
}

void CKinovoDlg::OnCancel()
{
    EndWithRecordingSaved();
    CPNGDialog::OnCancel();
}

void CKinovoDlg::OnClose()
{
    EndWithRecordingSaved();
    CPNGDialog::OnClose();
}
