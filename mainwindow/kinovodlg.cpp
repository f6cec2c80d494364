// The main window's state, set-up and teardown.
#include "kinovodlg.h"

#include "capture/device_discovery.h"
#include "mainwindow_log.h"
#include "shell.h"

#include <QApplication>
#include <QImageWriter>

#include <algorithm>

Q_LOGGING_CATEGORY(lcMainWindow, "kinovo.mainwindow", QtWarningMsg)

namespace {

// Cells of a sprite sheet for one button: (x, y) of each visual state.
struct SpriteCell {
    ButtonId button;
    int slot;
    int x;
    int y;
};

constexpr SpriteCell kButtonCells[] = {
    {Close, 0, 0, 0},        {Close, 1, 0, 32},        {Close, 2, 0, 64},
    {Settings, 0, 32, 0},    {Settings, 1, 32, 32},    {Settings, 2, 32, 64},
    {Photo, 0, 224, 0},      {Photo, 1, 224, 32},      {Photo, 2, 256, 32},
    {Camera, 0, 64, 0},      {Camera, 1, 64, 32},      {Camera, 2, 64, 64},
    {Microphone, 0, 96, 0},  {Microphone, 1, 96, 32},  {Microphone, 2, 96, 64},
    {Microphone, 3, 160, 0}, {Microphone, 4, 160, 32}, {Microphone, 5, 160, 64},
    {Microphone, 6, 128, 0}, {Mode, 0, 192, 0},        {Mode, 1, 192, 32},
    {Mode, 2, 192, 64},      {Record, 0, 288, 0},      {Record, 1, 288, 32},
    {Record, 2, 320, 0},     {Record, 3, 352, 32},     {Record, 4, 384, 32},
};

// A user folder: the XDG one the user set (made when the first file goes
// in) or the usual one when it exists, else an existing desktop, else the
// fallback under $HOME; always ending with '/'.
QString UserFolder(SpecialFolder folder, const QString& fallback)
{
    QString path = SpecialFolderPath(folder);
    if (path.isEmpty()) {
        path = SpecialFolderPath(SpecialFolder::Desktop);
        if (!FolderExists(path)) path.clear();
    }
    if (path.isEmpty()) path = HomeFolder() + fallback;
    if (!path.endsWith(QLatin1Char('/'))) path += QLatin1Char('/');
    return path;
}

} // namespace

CKinovoDlg::CKinovoDlg() : CPNGDialog(102, 129, 15, 15, 15, 15, false) {}

CKinovoDlg::~CKinovoDlg() { CKinovoDlg::DestroyWindow(); }

void CKinovoDlg::CutSprites()
{
    const auto put = [this](ButtonId id, int slot, Image cell) {
        m_buttons[id].sprites[static_cast<std::size_t>(slot)] = std::move(cell);
    };
    if (const Image sheet = LoadPngResource(131)) {
        for (const SpriteCell& c : kButtonCells) put(c.button, c.slot, CutCell(sheet.get(), c.x, c.y, 32, 32));
        m_micIcons.push_back(CutCell(sheet.get(), 160, 0, 32, 32));
        m_micIcons.push_back(CutCell(sheet.get(), 96, 0, 32, 32));
    } else {
        qCWarning(lcMainWindow) << "button sprites: PNG resource 131 could not be loaded";
        m_micIcons.resize(2);
    }
    if (const Image sheet = LoadPngResource(139)) {
        for (int slot = 0; slot < 3; ++slot) put(About, slot, CutCell(sheet.get(), 0, 36 * slot, 42, 36));
    } else {
        qCWarning(lcMainWindow) << "logo sprites: PNG resource 139 could not be loaded";
    }
    if (const Image sheet = LoadPngResource(138)) {
        for (int i = 0; i < kBadgeCount; ++i) m_badgeSprites.push_back(CutCell(sheet.get(), 32 * i, 0, 32, 32));
    } else {
        qCWarning(lcMainWindow) << "resolution badges: PNG resource 138 could not be loaded";
        m_badgeSprites.resize(kBadgeCount);
    }
}

bool CKinovoDlg::OnInitDialog()
{
    CPNGDialog::OnInitDialog();
    SetWindowTitle(QStringLiteral("Kinovo"));
    if (HWND w = GetSafeHwnd()) w->setWindowIcon(QApplication::windowIcon());
    m_bShutterActive = false;
    m_bButtonsHidden = false;
    FindJpegEncoder(&m_jpegClsid);
    m_pShutterImage = LoadPngResource(136);
    if (!m_pShutterImage) qCWarning(lcMainWindow) << "shutter picture: PNG resource 136 could not be loaded";
    CutSprites();

    m_nIdleMs = 0;
    m_ptLastCursor = {};
    m_nTimerId = SetTimer(125, 100);
    CreatePictureArea();
    // The buttons and labels go over the live picture.
    DrawContentAboveChildren();

    SetWindowRect(InitialWindowRect(GetScreenSize(GetSafeHwnd())));

    m_aboutPanel.Create(130, this);
    m_aboutPanel.m_bResizable = false;
    m_settingsPanel.Create(132, this);
    // The lists open above their buttons and may reach beyond the window's
    // right edge: pop-ups rather than children.
    for (CBottomMenu* list : {&m_cameraList, &m_micList, &m_modeList}) list->CreatePopup(132, this);
    m_settingsPanel.m_bMovable = m_settingsPanel.m_bResizable = false;
    for (CBottomMenu* list : {&m_cameraList, &m_micList, &m_modeList}) list->m_bMovable = list->m_bResizable = false;

    kinovo::EnumerateVideoDevices(m_videoDevices);
    kinovo::EnumerateAudioDevices(m_audioDevices);
    qCDebug(lcMainWindow) << m_videoDevices.size() << "cameras," << m_audioDevices.size() << "microphones";

    m_nCurrentCamera = -1;
    m_nCurrentMic = -1;
    m_nCaptureState = NoCamera;

    // The first entry always means recording without sound.
    m_micList.AddItem(m_micIcons[0].get(), QStringLiteral("Без звука"));
    for (const kinovo::AudioDevice& mic : m_audioDevices) m_micList.AddItem(m_micIcons[1].get(), mic.name);
    if (!m_audioDevices.empty()) {
        m_micList.m_nSelected = 1;
        m_nCurrentMic = 0;
        m_buttons[Microphone].state = 0;
    } else {
        m_buttons[Microphone].state = 6;
    }

    m_micWatch = kinovo::WatchAudioDevices(
        [this](std::vector<kinovo::AudioDevice> mics) { MicrophonesChanged(std::move(mics)); });

    CameraStep();
    m_cameraWatch = kinovo::WatchVideoDevices(
        [this](std::vector<kinovo::VideoDevice> cameras) { CamerasChanged(std::move(cameras)); });

    m_strVideoFolder = UserFolder(SpecialFolder::Videos, QStringLiteral("/Videos"));
    m_strPictureFolder = UserFolder(SpecialFolder::Pictures, QStringLiteral("/Pictures"));
    StartRepairs();
    // Asked to end (a signal, the session's end): as the Close button does.
    SetTerminationHandler([this] { OnCancel(); });
    return true;
}

void CKinovoDlg::MicrophonesChanged(std::vector<kinovo::AudioDevice> mics)
{
    const auto samePaths = [&] {
        return std::equal(mics.begin(), mics.end(), m_audioDevices.begin(), m_audioDevices.end(),
                          [](const auto& a, const auto& b) { return a.devicePath == b.devicePath; });
    };
    if (samePaths()) return;
    // A choice made in the closed list that the timer has not applied yet
    // is applied first, so that the new list keeps it.
    if (const int pending = m_micList.m_nSelected - 1; !m_micList.m_bShown && pending != m_nCurrentMic &&
                                                       pending >= -1 &&
                                                       pending < static_cast<int>(m_audioDevices.size()))
        SelectMicrophone(pending);
    QString chosenPath, chosenName;
    if (m_nCurrentMic >= 0 && m_nCurrentMic < static_cast<int>(m_audioDevices.size())) {
        chosenPath = m_audioDevices[static_cast<std::size_t>(m_nCurrentMic)].devicePath;
        chosenName = m_audioDevices[static_cast<std::size_t>(m_nCurrentMic)].name;
    }
    // A recording keeps its own microphone; the list only names them.
    m_audioDevices = std::move(mics);
    const auto found = std::find_if(m_audioDevices.begin(), m_audioDevices.end(),
                                    [&](const kinovo::AudioDevice& mic) { return mic.devicePath == chosenPath; });
    m_nCurrentMic =
        chosenPath.isEmpty() || found == m_audioDevices.end() ? -1 : static_cast<int>(found - m_audioDevices.begin());
    if (!chosenPath.isEmpty() && m_nCurrentMic == -1) {
        qCWarning(lcMainWindow).noquote()
            << QStringLiteral("microphone %1 (%2) is gone;").arg(chosenName, chosenPath)
            << (m_nCaptureState == Recording ? "after this recording, recordings" : "recordings")
            << "are made without sound";
    }
    qCDebug(lcMainWindow) << m_audioDevices.size() << "microphones now";
    if (m_micList.m_bShown) m_micList.ClosePanel();
    m_micList.ClearItems();
    m_micList.AddItem(m_micIcons[0].get(), QStringLiteral("Без звука"));
    for (const kinovo::AudioDevice& mic : m_audioDevices) m_micList.AddItem(m_micIcons[1].get(), mic.name);
    m_micList.m_nSelected = m_nCurrentMic + 1;
    int state = m_nCurrentMic == -1 || m_bSilentMic ? 3 : 0;
    if (m_audioDevices.empty()) state = 6;
    SetButtonState(Microphone, state);
}

void CKinovoDlg::CameraStep()
{
    if (!m_videoDevices.empty()) {
        SelectCamera(0);
        for (const kinovo::VideoDevice& camera : m_videoDevices) m_cameraList.AddItem(nullptr, camera.name);
        m_cameraList.m_nSelected = 0;
    }
    m_buttons[Camera].state = m_videoDevices.size() >= 2 ? 0 : -1;
}

void CKinovoDlg::CreatePictureArea()
{
    // The live picture is a child of the window inside its skin border;
    // the camera's renderer fills it and the pointer passes through to the
    // window.
    m_pPicture = new QWidget(GetSafeHwnd());
    m_pPicture->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_pPicture->setAttribute(Qt::WA_NoSystemBackground);
    m_pPicture->hide();
}

bool CKinovoDlg::FindJpegEncoder(QByteArray* format)
{
    for (const QByteArray& mime : QImageWriter::supportedMimeTypes()) {
        if (mime == "image/jpeg") {
            *format = QByteArrayLiteral("jpeg");
            return true;
        }
    }
    qCWarning(lcMainWindow) << "no JPEG encoder among the image writers: photos cannot be saved";
    return false;
}

void CKinovoDlg::SetWindowRect(const CRect& rc)
{
    // A top-level window's place is only a wish: where windows cannot
    // place themselves (Wayland), the desktop decides.
    SetGeometry(QRect(rc.left, rc.top, rc.Width(), rc.Height()));
    PlacePicture();
}

void CKinovoDlg::PlacePicture()
{
    HWND w = GetSafeHwnd();
    if (!m_pPicture || !w) return;
    const CRect inner = InnerRect(CRect{0, 0, w->width(), w->height()});
    m_pPicture->setGeometry(inner.left, inner.top, inner.Width(), inner.Height());
    kinovo::ResizeVideoWindow(m_graph, inner.Width(), inner.Height());
}

void CKinovoDlg::ShowPicture()
{
    // Shown once the window has faded in: the picture itself has no alpha.
    if (m_pPicture) m_pPicture->setVisible(m_bPreviewWanted && m_nAlpha == 255);
}

void CKinovoDlg::OnFadedIn()
{
    ShowPicture();
}

void CKinovoDlg::OnSize(unsigned nType, int cx, int cy)
{
    PlacePicture();
    CPNGDialog::OnSize(nType, cx, cy);
}

void CKinovoDlg::DestroyWindow()
{
    m_micWatch.reset();
    m_cameraWatch.reset();
    m_pendingCameras.reset();
    m_goneCamera.reset();
    if (!GetSafeHwnd()) return;
    SetTerminationHandler({});
    m_repairThread.request_stop(); // an unfinished repair is done at the next start
    // Whatever ended the dialog, a running recording is finished properly.
    if (m_nCaptureState == Recording) {
        kinovo::StopRecording(m_graph);
        m_nCaptureState = Busy;
    }
    m_pShutterImage.reset();
    m_badgeSprites.clear();
    m_pPicture = nullptr; // goes with the window
    m_pFrozenFrame.reset();
    m_settingsPanel.m_pDevice = nullptr;
    m_settingsPanel.DestroyWindow();
    m_aboutPanel.DestroyWindow();
    kinovo::ReleaseGraph(m_graph);
    for (kinovo::VideoDevice& camera : m_videoDevices) {
        camera.camera.reset();
        camera.opened = false;
    }
    CPNGDialog::DestroyWindow();
}
