#pragma once

#include "aboutdlg.h"
#include "bottommenu.h"
#include "capture/capture_graph.h"
#include "capture/capture_types.h"
#include "menudlg.h"
#include "modes.h"
#include "pngdialog.h"

#include <QByteArray>
#include <QImage>
#include <QString>
#include <QStringList>

#include <array>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

// What the capture side is doing; a camera works when the state is 0 or more.
enum CaptureState { NoSignal = -2, NoCamera = -1, Busy = 0, Previewing = 1, Recording = 2 };

// One picture button: its picture per visual state, its square in window
// coordinates (set by each drawing) and its state (-1 hidden).
struct SkinButton {
    std::array<Image, 8> sprites;
    CRect rc;
    int state = 0;
    // Strictly inside the rectangle, and not hidden.
    bool HitTest(int x, int y) const
    {
        return state >= 0 && state <= 8 && rc.left < x && x < rc.right && rc.top < y && y < rc.bottom;
    }
};

// The main window: the live picture with its buttons, inside a skinned frame.
class CKinovoDlg : public CPNGDialog {
public:
    CKinovoDlg();
    ~CKinovoDlg() override;

    bool OnInitDialog() override;
    void DestroyWindow() override;
    void DrawContent(Graphics* g) override;
    void OnSize(unsigned nType, int cx, int cy) override;
    void OnMouseMove(unsigned nFlags, CPoint point) override;
    void OnLButtonDown(unsigned nFlags, CPoint point) override;
    void OnLButtonDblClk(unsigned nFlags, CPoint point) override;
    void OnTimer(unsigned nIDEvent) override;
    // Every way out saves a running recording first.
    void OnOK() override;
    void OnCancel() override;
    void OnClose() override;

    // Camera selection and capture modes. `wanted`: the capture mode to take
    // when the camera has it (width, height and pixel format), else its largest.
    int SelectCamera(int index, std::optional<kinovo::VideoFormat> wanted = std::nullopt);
    int ApplyCaptureMode(int index);
    int SelectMicrophone(int index);
    // Starts or stops a recording; the capture state afterwards.
    int ToggleRecording();
    // A JPEG of the frame on screen at the mode's size, written in the
    // background (PhotoSaved tells); false when none can be taken.
    bool TakePhoto();

    // For tests and tools: what the window shows and holds.
    int CaptureStateValue() const { return m_nCaptureState; }
    const std::vector<kinovo::VideoFormat>& Modes() const { return m_modes; }
    int CurrentMode() const { return m_nCurrentMode; }
    int CurrentCamera() const { return m_nCurrentCamera; }
    int CurrentMic() const { return m_nCurrentMic; }
    const SkinButton& Button(ButtonId id) const { return m_buttons[id]; }
    const QString& VideoFolder() const { return m_strVideoFolder; }
    const QString& PictureFolder() const { return m_strPictureFolder; }
    const CBottomMenu& CameraList() const { return m_cameraList; }
    const CBottomMenu& MicList() const { return m_micList; }
    const CBottomMenu& ModeList() const { return m_modeList; }

protected:
    void CameraStep();
    void CreatePictureArea();
    // The live picture shows while a preview runs, once the window is in.
    void ShowPicture();
    void OnFadedIn() override;
    bool FindJpegEncoder(QByteArray* format);
    void CutSprites();
    // The window's size and wished-for place; the picture follows.
    void SetWindowRect(const CRect& rc);
    // Places the live picture inside the skin border of the window.
    void PlacePicture();
    void InvalidateAll() { Invalidate(); }
    void DrawTestPicture(Graphics* g, int W, int H);
    // The dark box with white capitals of "NO SIGNAL" and its kind.
    void DrawLabelBox(Graphics* g, int W, int H, const QString& text);
    void DrawShutterView(Graphics* g, int W, int H);
    void DrawBottomBar(Graphics* g, int W, int H);
    void DrawButton(Graphics* g, ButtonId id);
    void DrawClock(Graphics* g, int W, int H);
    bool CameraWorks() const { return m_nCaptureState >= 0; }
    CPoint ScreenPoint(CPoint point) const;
    void SetButtonState(ButtonId id, int state);
    void OpenListPanel(CBottomMenu& list, ButtonId button);
    // Closes the settings panel and the lists that are open, their buttons
    // back to rest; false when none was open.
    bool ClosePanels();
    bool OnKeyDown(int key) override;
    void RecordingTick();
    void StartRecordingNow();
    void StopRecordingNow();
    // The camera may stream in another mode than the one chosen (it refused
    // it): the window, the mode list and the photos follow what it applied.
    void FollowAppliedMode();
    // No live picture: the test picture with "NO SIGNAL", Photo and Record greyed.
    void ShowNoSignal();
    // The current camera is busy (`call` failed with `why`): the log and a
    // line under "NO SIGNAL" name the programs that hold it, once found in
    // the background.
    void NameCameraHolder(const QString& call, const QString& why);
    // The line of a camera shown before, and a search still running, go.
    void ForgetCameraHolder();
    // The camera went away or failed while streaming.
    void CameraLost(const QString& why);
    // Cameras came or went: the list follows, the chosen one stays chosen
    // while it is there; one that comes back (or the first one plugged in
    // while there is none) starts by itself.
    void CamerasChanged(std::vector<kinovo::VideoDevice> cameras);
    // The chosen camera went: its record (which keeps its opening) and its
    // mode, to start it again when it comes back.
    struct GoneCamera {
        kinovo::VideoDevice device;
        std::optional<kinovo::VideoFormat> mode;
    };
    std::optional<GoneCamera> m_goneCamera;
    // While the loss of a camera is told: a listing that came meanwhile
    // waits for the message to end (its loop runs inside the session's call).
    bool m_bTellingCameraLoss = false;
    std::optional<std::vector<kinovo::VideoDevice>> m_pendingCameras;
    // Shows "DAMAGED SIGNAL" over the live picture while most of the
    // camera's recent frames are damaged; on the window's timer.
    void WatchSignal();
    DamagedSignal m_damagedSignal;
    // Reads the controls of a camera that reported none once more, later.
    void RereadAdjustments(int camera, int pass);
    static constexpr std::chrono::milliseconds kAdjustmentRereadPause{300};
    static constexpr int kAdjustmentRereads = 5;
    unsigned m_nCameraSelections = 0;
    // The file of a stopped recording is complete: the user hears how it went.
    void RecordingFinished(const QString& file, const kinovo::media::RecordingResult& result);
    void EndWithRecordingSaved();
    // Recordings of the Videos folder cut short by a crash are repaired off
    // the user-interface thread; the timer tells the user once it is done.
    void StartRepairs();
    void ReportRepairs();
    // The Microphone button's "no sound" look while the recorded microphone is silent.
    void ShowSilentMic(bool silent);
    // What the user should know about the recording's sound, or nothing.
    QString SoundRemark(const kinovo::media::SoundReport& sound) const;
    // The sound server's microphones came or went: the list follows, the
    // chosen one stays chosen while it is there.
    void MicrophonesChanged(std::vector<kinovo::AudioDevice> mics);
    QString CurrentMicSource() const;
    // The first free dated name in `folder` (made when missing); none, after
    // telling the user why, when there is none.
    std::optional<QString> NewFileName(const QString& folder, const QString& prefix, const QString& extension,
                                       const QString& what);
    // A message under "Attention": what went wrong with the user's request.
    void Attention(const QString& text);
    // The shutter view over the picture, frozen at `frame` (black without
    // one), for kShutterTime.
    void ShowShutter(const kinovo::media::StillFrame& frame);
    // A photo's file is written (or could not be).
    void PhotoSaved(const QString& path, bool ok, const QString& why);
    QSize PhotoSize() const;

    Image m_pShutterImage;
    bool m_bShutterActive = false;
    Image m_pFrozenFrame;
    unsigned m_nShutterCount = 0; // photos taken; the shutter view ends with the last one's
    static constexpr std::chrono::milliseconds kShutterTime{400};
    std::vector<Image> m_badgeSprites;
    std::vector<Image> m_micIcons;
    QByteArray m_jpegClsid;
    QWidget* m_pPicture = nullptr; // a child of the window, gone with it
    bool m_bPreviewWanted = false; // a preview runs: the picture shows
    kinovo::CCaptureGraph m_graph;
    CAboutDlg m_aboutPanel;
    CMenuDlg m_settingsPanel;
    CBottomMenu m_cameraList;
    CBottomMenu m_micList;
    CBottomMenu m_modeList;
    std::array<SkinButton, ButtonCount> m_buttons;
    unsigned m_nTimerId = 0;
    int m_nIdleMs = 0;
    CPoint m_ptLastCursor;
    bool m_bButtonsHidden = false;
    int m_nCaptureState = Busy;
    QString m_strCameraHolder;      // under "NO SIGNAL": "in use by ffmpeg"
    unsigned m_nHolderSearches = 0; // a search's result is shown while this stays
    std::vector<kinovo::VideoDevice> m_videoDevices;
    std::vector<kinovo::AudioDevice> m_audioDevices;
    int m_nCurrentCamera = -1;
    int m_nCurrentMode = -1;
    int m_nCurrentMic = -1;
    std::vector<kinovo::VideoFormat> m_modes;
    QString m_strVideoFolder;
    QString m_strPictureFolder;
    bool m_bExplorerShown = false;
    bool m_bPhotoPending = false;
    QString m_strLastVideo;
    QString m_strLastPhoto;
    std::vector<QString> m_pendingPhotos; // names of photos still being written
    unsigned m_nRecordTicks = 0;
    std::int64_t m_tRecordStart = 0;
    QString m_strRecordedMic;
    bool m_bSilentMic = false;
    CRect m_rcClock;
    std::unique_ptr<kinovo::media::DeviceWatch> m_micWatch;
    std::unique_ptr<kinovo::media::DeviceWatch> m_cameraWatch;

private:
    std::mutex m_repairMutex;
    std::optional<QStringList> m_repaired; // the files repaired, once the repair is done
    std::jthread m_repairThread;           // last: stopped and joined before the rest goes
};
