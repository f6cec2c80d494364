// kinovo-gallery PANEL [--camera N]
//
// Shows one panel on its own at screen position (100, 100), created, placed
// and opened the way the main window does it, and ends when the panel
// closes (a choice in a list, "Ok", Escape). On exit it prints what the
// panel ended with: "selected N" for a list, "CONTROL VALUE" per control of
// the camera for the image settings, "closed" for the about panel.
//
// PANEL: list3, list-icons, list-long, settings6, settings4, settings0, about.
// --camera N (settings6, settings4): the listed camera N, opened as the
// program opens it, instead of a made-up camera record.

#include "aboutdlg.h"
#include "bottommenu.h"
#include "menudlg.h"

#include "capture/capture_graph.h"
#include "capture/device_discovery.h"
#include "capture/image_adjustments.h"
#include "platform/media/memory_camera.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace {

using namespace kinovo;

constexpr int kX = 100;
constexpr int kY = 100;
const QString kTitle = QStringLiteral("kinovo-gallery");

// A made-up camera with plausible ranges; without contrast and gamma for
// the four-row look.
std::unique_ptr<VideoDevice> SyntheticCamera(bool allSix)
{
    struct Control {
        ImageSlot slot;
        ImageProperty p;
    };
    const Control controls[] = {
        {ImageSlot::Brightness, {true, -64, 64, 1, 0, 0}},
        {ImageSlot::Contrast, {true, 0, 64, 1, 32, 32}},
        {ImageSlot::Saturation, {true, 0, 128, 1, 64, 64}},
        {ImageSlot::Sharpness, {true, 0, 6, 1, 3, 3}},
        {ImageSlot::Gamma, {true, 72, 500, 1, 100, 100}},
        {ImageSlot::WhiteBalance, {true, 2800, 6500, 10, 4600, 4600}},
    };
    auto camera = std::make_shared<media::MemoryCamera>(media::CameraInfo{"", "Synthetic Camera", "", ""});
    for (const Control& c : controls) {
        if (!allSix && (c.slot == ImageSlot::Contrast || c.slot == ImageSlot::Gamma)) continue;
        camera->Add(kSlotControl[static_cast<std::size_t>(c.slot)], {c.p.min, c.p.max, c.p.step, c.p.defaultValue},
                    c.p.value);
    }
    auto device = std::make_unique<VideoDevice>();
    device->name = QStringLiteral("Synthetic Camera");
    device->camera = camera;
    ReadImageProperties(*device);
    device->opened = true;
    return device;
}

// The panels' owner and what the panels show; lives on main's stack, so that
// its windows go before the application object does.
class Gallery {
public:
    Gallery() = default;
    ~Gallery();
    Gallery(const Gallery&) = delete;
    Gallery& operator=(const Gallery&) = delete;

    // Opens the panel the arguments name; false with the exit code set when
    // there is nothing to show.
    bool Open(const QStringList& args);
    int ExitCode() const { return m_nExitCode; }
    void PrintResult();

private:
    bool OpenList(const QString& name);
    bool OpenSettings(const QString& name, std::optional<int> camera);
    void OpenAbout();
    void WatchPanel(std::function<bool()> shown);

    std::unique_ptr<CBottomMenu> m_list;
    std::unique_ptr<CMenuDlg> m_settings;
    std::unique_ptr<CAboutDlg> m_about;
    std::vector<VideoDevice> m_cameras;
    std::unique_ptr<VideoDevice> m_synthetic;
    QTimer m_watch;
    int m_nExitCode = 0;
};

int Usage()
{
    std::fputs("usage: kinovo-gallery list3|list-icons|list-long|settings6|settings4|settings0|about"
               " [--camera N]\n",
               stderr);
    return 2;
}

bool Gallery::Open(const QStringList& args)
{
    if (args.size() < 2) {
        m_nExitCode = Usage();
        return false;
    }
    const QString panel = args[1];
    std::optional<int> camera;
    for (int i = 2; i < args.size(); ++i) {
        bool ok = false;
        if (args[i] == QStringLiteral("--camera") && i + 1 < args.size()) camera = args[++i].toInt(&ok);
        if (!ok) {
            m_nExitCode = Usage();
            return false;
        }
    }
    if (camera && !panel.startsWith(QStringLiteral("settings"))) {
        m_nExitCode = Usage();
        return false;
    }

    // Each panel is a window of its own here, not a child of a main window.
    bool ok = false;
    if (panel.startsWith(QStringLiteral("list"))) ok = OpenList(panel);
    else if (panel.startsWith(QStringLiteral("settings"))) ok = OpenSettings(panel, camera);
    else if (panel == QStringLiteral("about")) {
        OpenAbout();
        ok = true;
    }
    if (!ok && m_nExitCode == 0) m_nExitCode = Usage();
    return ok;
}

bool Gallery::OpenList(const QString& name)
{
    m_list = std::make_unique<CBottomMenu>();
    m_list->Create(132, nullptr);
    m_list->m_bMovable = false;
    m_list->m_bResizable = false;
    m_list->SetWindowTitle(kTitle);
    m_list->ClearItems();
    if (name == QStringLiteral("list3")) {
        m_list->AddItem(nullptr, QStringLiteral("Kinovo Virtual Camera"));
        m_list->AddItem(nullptr, QStringLiteral("USB 2.0 Camera"));
        m_list->AddItem(nullptr, QStringLiteral("Integrated Webcam"));
        m_list->m_nSelected = 0;
    } else if (name == QStringLiteral("list-icons")) {
        // The microphone list, its icons cut as the main window cuts them.
        const Image sheet = LoadPngResource(131);
        const Image muted = CutCell(sheet.get(), 160, 0, 32, 32);
        const Image mic = CutCell(sheet.get(), 96, 0, 32, 32);
        m_list->AddItem(muted.get(), QStringLiteral("Без звука"));
        m_list->AddItem(mic.get(), QStringLiteral("Built-in Audio Analog Stereo"));
        m_list->AddItem(mic.get(), QStringLiteral("USB Microphone"));
        m_list->m_nSelected = 1;
    } else if (name == QStringLiteral("list-long")) {
        m_list->AddItem(nullptr, QStringLiteral("A camera whose name is far too long to fit into one row of the list"));
        m_list->AddItem(nullptr, QStringLiteral("Short"));
        m_list->m_nSelected = 1;
    } else {
        return false;
    }
    // As the main window opens a list: provisional size, then shown; the
    // panel sizes itself.
    m_list->SetGeometry(QRect(kX, kY, 250, 160));
    m_list->Show();
    WatchPanel([this] { return m_list->m_bShown; });
    return true;
}

bool Gallery::OpenSettings(const QString& name, std::optional<int> camera)
{
    VideoDevice* device = nullptr;
    if (name == QStringLiteral("settings0")) {
        if (camera) return false;
    } else if (name != QStringLiteral("settings6") && name != QStringLiteral("settings4")) {
        return false;
    } else if (camera) {
        EnumerateVideoDevices(m_cameras);
        if (*camera < 0 || static_cast<std::size_t>(*camera) >= m_cameras.size()) {
            std::fprintf(stderr, "kinovo-gallery: no camera %d (%zu listed)\n", *camera, m_cameras.size());
            m_nExitCode = 1;
            return false;
        }
        device = &m_cameras[static_cast<std::size_t>(*camera)];
        const Status status = OpenVideoDevice(*device);
        if (status != media::kOk) {
            std::fprintf(stderr, "kinovo-gallery: camera %d did not open: %s\n", *camera,
                         media::StatusText(status).c_str());
            m_nExitCode = 1;
            return false;
        }
    } else {
        m_synthetic = SyntheticCamera(name == QStringLiteral("settings6"));
        device = m_synthetic.get();
    }

    m_settings = std::make_unique<CMenuDlg>();
    m_settings->Create(132, nullptr);
    m_settings->m_bMovable = false;
    m_settings->m_bResizable = false;
    m_settings->SetWindowTitle(kTitle);
    m_settings->m_pDevice = device;
    m_settings->SetGeometry(QRect(kX, kY, 250, 300));
    m_settings->Show();
    WatchPanel([this] { return m_settings->m_bShown; });
    return true;
}

void Gallery::OpenAbout()
{
    m_about = std::make_unique<CAboutDlg>();
    m_about->Create(130, nullptr);
    m_about->m_bResizable = false;
    m_about->SetWindowTitle(kTitle);
    m_about->SetGeometry(QRect(kX, kY, 420, 320));
    m_about->Show();
    WatchPanel([this] { return m_about->m_bShown; });
}

// Like the main window's timer: looks at the panel now and then, and ends
// the program once the panel has closed.
void Gallery::WatchPanel(std::function<bool()> shown)
{
    QObject::connect(&m_watch, &QTimer::timeout, &m_watch, [shown = std::move(shown)] {
        if (!shown()) QCoreApplication::quit();
    });
    m_watch.start(100);
}

void Gallery::PrintResult()
{
    if (m_list) std::printf("selected %d\n", m_list->m_nSelected);
    if (m_settings && m_settings->m_pDevice) {
        for (int c = 0; c < kImageControlCount; ++c) {
            const auto control = static_cast<ImageControl>(c);
            const ImageProperty& p = m_settings->m_pDevice->property(SlotOfControl(control));
            if (p.valid)
                std::printf("%s %d\n", qPrintable(SettingCaption(static_cast<SettingKind>(c))), p.value);
        }
    }
    if (m_about) std::printf("closed\n");
    std::fflush(stdout);
}

Gallery::~Gallery()
{
    m_watch.stop();
    m_list.reset();
    m_settings.reset();
    m_about.reset();
}

} // namespace

int main(int argc, char** argv)
{
    // Geometry is in device pixels, as the program's own start-up sets it.
    qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    Gallery gallery;
    if (!gallery.Open(QCoreApplication::arguments())) return gallery.ExitCode();
    QApplication::exec();
    gallery.PrintResult();
    return gallery.ExitCode();
}
