#include "framework.h"

#include "ui_log.h"
#include "x11.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QEventLoop>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QTimerEvent>
#include <QWindow>

#include <utility>

namespace {

CWinAppEx* g_pApp = nullptr;

unsigned KeyFlags(Qt::MouseButtons buttons, Qt::KeyboardModifiers mods)
{
    unsigned flags = 0;
    if (buttons & Qt::LeftButton) flags |= MK_LBUTTON;
    if (buttons & Qt::RightButton) flags |= MK_RBUTTON;
    if (buttons & Qt::MiddleButton) flags |= MK_MBUTTON;
    if (mods & Qt::ShiftModifier) flags |= MK_SHIFT;
    if (mods & Qt::ControlModifier) flags |= MK_CONTROL;
    return flags;
}

unsigned SizeType(const QWidget* w)
{
    const Qt::WindowStates st = w->windowState();
    if (st & Qt::WindowMinimized) return SIZE_MINIMIZED;
    if (st & (Qt::WindowMaximized | Qt::WindowFullScreen)) return SIZE_MAXIMIZED;
    return SIZE_RESTORED;
}

} // namespace

// The window of a CDialog: turns Qt's events into the dialog's handlers.
class DialogWindow final : public QWidget {
public:
    DialogWindow(CDialog* owner, QWidget* parent, bool popup)
        : QWidget(parent, !parent ? Qt::Window | Qt::FramelessWindowHint
                          : popup ? Qt::ToolTip | Qt::FramelessWindowHint
                                  : Qt::Widget),
          m_owner(owner)
    {
        setMouseTracking(true);
        setFocusPolicy(Qt::StrongFocus);
        setAttribute(Qt::WA_DeleteOnClose, false);
    }

    ~DialogWindow() override
    {
        // Also reached when a parent takes its child dialogs with it.
        if (CDialog* d = std::exchange(m_owner, nullptr)) d->WindowGone();
    }

protected:
    bool event(QEvent* e) override
    {
        if (!m_owner) return QWidget::event(e);
        CDialog* d = m_owner;
        switch (e->type()) {
        case QEvent::Show:
            QWidget::event(e);
            if (!e->spontaneous()) d->OnShowWindow(true);
            return true;
        case QEvent::Hide:
            QWidget::event(e);
            if (!e->spontaneous()) d->OnShowWindow(false);
            return true;
        case QEvent::Resize: {
            QWidget::event(e);
            const auto* re = static_cast<QResizeEvent*>(e);
            d->OnSize(SizeType(this), re->size().width(), re->size().height());
            return true;
        }
        case QEvent::Move:
            QWidget::event(e);
            d->OnMove(geometry().x(), geometry().y());
            return true;
        case QEvent::MouseMove: {
            const auto* me = static_cast<QMouseEvent*>(e);
            // Each move starts from the window's own pointer, as handlers
            // only set a shape where they want one.
            unsetCursor();
            const QPoint p = me->position().toPoint();
            d->OnMouseMove(KeyFlags(me->buttons(), me->modifiers()), {p.x(), p.y()});
            return true;
        }
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick: {
            const auto* me = static_cast<QMouseEvent*>(e);
            if (me->button() != Qt::LeftButton) return true;
            const QPoint p = me->position().toPoint();
            const CPoint pt{p.x(), p.y()};
            const unsigned flags = KeyFlags(me->buttons(), me->modifiers());
            if (e->type() == QEvent::MouseButtonPress) d->OnLButtonDown(flags, pt);
            else if (e->type() == QEvent::MouseButtonRelease) d->OnLButtonUp(flags, pt);
            else d->OnLButtonDblClk(flags, pt);
            return true;
        }
        case QEvent::KeyPress: {
            const auto* ke = static_cast<QKeyEvent*>(e);
            if (d->OnKeyDown(ke->key())) return true;
            if (ke->key() == Qt::Key_Return || ke->key() == Qt::Key_Enter) {
                d->OnOK();
                return true;
            }
            if (ke->key() == Qt::Key_Escape) {
                d->OnCancel();
                return true;
            }
            return QWidget::event(e);
        }
        case QEvent::WindowActivate:
        case QEvent::WindowDeactivate:
            QWidget::event(e);
            d->OnActivate(e->type() == QEvent::WindowActivate);
            return true;
        case QEvent::Close:
            // The window manager's close: the dialog decides, the window stays.
            e->ignore();
            d->OnClose();
            return true;
        case QEvent::Timer: {
            const int qtId = static_cast<QTimerEvent*>(e)->timerId();
            for (const auto& [id, tid] : d->m_timers) {
                if (tid == qtId) {
                    d->OnTimer(id);
                    return true;
                }
            }
            return QWidget::event(e);
        }
        default: return QWidget::event(e);
        }
    }

    void paintEvent(QPaintEvent*) override
    {
        if (!m_owner) return;
        QPainter painter(this);
        m_owner->OnPaint(painter);
    }

private:
    CDialog* m_owner;
};

// ---------------------------------------------------------------- windows

bool IsWindow(HWND hWnd)
{
    return hWnd != nullptr;
}

bool GetWindowRect(HWND hWnd, CRect* rc)
{
    if (!IsWindow(hWnd) || !rc) return false;
    const QRect g = hWnd->isWindow() ? hWnd->geometry()
                                     : QRect(hWnd->mapToGlobal(QPoint(0, 0)), hWnd->size());
    *rc = CRect{g.x(), g.y(), g.x() + g.width(), g.y() + g.height()};
    return true;
}

bool GetCursorPos(CPoint* pt)
{
    if (!pt) return false;
    const QPoint p = QCursor::pos();
    *pt = {p.x(), p.y()};
    return true;
}

CPoint GetScreenSize(HWND hWnd)
{
    QScreen* screen = (IsWindow(hWnd) && hWnd->screen()) ? hWnd->screen() : QGuiApplication::primaryScreen();
    if (!screen) return {};
    const QRect g = screen->geometry();
    return {g.width(), g.height()};
}

bool IsCompositingActive() { return x11::CompositorRunning(); }

HCURSOR LoadCursor(SystemCursor id)
{
    switch (id) {
    case IDC_HAND: return {Qt::PointingHandCursor};
    case IDC_SIZENS: return {Qt::SizeVerCursor};
    case IDC_SIZEWE: return {Qt::SizeHorCursor};
    case IDC_SIZENESW: return {Qt::SizeBDiagCursor};
    case IDC_SIZENWSE: return {Qt::SizeFDiagCursor};
    case IDC_ARROW: break;
    }
    return {Qt::ArrowCursor};
}

// ---------------------------------------------------------------- application

CWinAppEx::CWinAppEx(bool /*resourceSmartUpdate*/) { g_pApp = this; }

CWinAppEx::~CWinAppEx()
{
    if (g_pApp == this) g_pApp = nullptr;
}

bool CWinAppEx::InitInstance() { return true; }

int CWinAppEx::ExitInstance() { return 0; }

CWinAppEx* AfxGetApp() { return g_pApp; }

int CWinAppEx::Run(int argc, char** argv)
{
    // Geometry is in device pixels, as the program's layout expects.
    qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    CWinAppEx* theApp = AfxGetApp();
    if (!theApp) {
        qCCritical(lcUi) << "no application object to run";
        return 1;
    }
    qCDebug(lcUi) << "platform" << QGuiApplication::platformName() << "compositor" << x11::CompositorRunning();
    if (theApp->InitInstance()) app.exec();
    return theApp->ExitInstance();
}

// ---------------------------------------------------------------- dialog

CDialog::CDialog(unsigned templateId) : m_nTemplateId(templateId) {}

CDialog::~CDialog()
{
    if (m_hWnd) DestroyWindow();
}

void CDialog::CreateWindowObject(CDialog* pParent, bool popup)
{
    // A pop-up is a tool-tip kind of window: it never takes the focus nor
    // grabs the pointer, and Wayland places it relative to its parent.
    auto* w = new DialogWindow(this, pParent ? pParent->GetSafeHwnd() : nullptr, popup);
    // Empty templates: a small pop-up that its owner sizes and places.
    w->resize(320, 240);
    // A child stays hidden with its parent until it is shown itself.
    if (pParent) w->hide();
    m_hWnd = w;
}

int CDialog::DoModal()
{
    CreateWindowObject(nullptr);
    m_nModalResult = IDCANCEL;
    QEventLoop loop;
    m_pModalLoop = &loop;
    OnInitDialog();
    if (m_hWnd && m_pModalLoop) m_hWnd->show();
    // EndDialog may already have run inside OnInitDialog.
    if (m_pModalLoop) loop.exec();
    m_pModalLoop = nullptr;
    DestroyWindow();
    return m_nModalResult;
}

bool CDialog::Create(unsigned templateId, CDialog* pParent)
{
    m_nTemplateId = templateId;
    CreateWindowObject(pParent);
    OnInitDialog();
    return m_hWnd != nullptr;
}

bool CDialog::CreatePopup(unsigned templateId, CDialog* pParent)
{
    m_nTemplateId = templateId;
    CreateWindowObject(pParent, pParent != nullptr);
    OnInitDialog();
    return m_hWnd != nullptr;
}

void CDialog::DestroyWindow()
{
    if (!m_hWnd) return;
    m_hWnd->hide();
    delete m_hWnd; // its destructor calls WindowGone
}

void CDialog::WindowGone()
{
    m_timers.clear();
    if (m_pModalLoop) {
        m_pModalLoop->exit(m_nModalResult);
        m_pModalLoop = nullptr;
    }
    // The window and its children still exist here, for the last time.
    PostNcDestroy();
    m_hWnd = nullptr;
}

void CDialog::EndDialog(int result)
{
    m_nModalResult = result;
    if (m_pModalLoop) {
        m_pModalLoop->exit(result);
        m_pModalLoop = nullptr;
    } else if (m_hWnd) {
        m_hWnd->hide();
    }
}

bool CDialog::IsWindowVisible() const { return m_hWnd && m_hWnd->isVisible(); }

void CDialog::Show()
{
    if (m_hWnd) m_hWnd->show();
}

void CDialog::Hide()
{
    if (m_hWnd) m_hWnd->hide();
}

void CDialog::Raise()
{
    if (m_hWnd && (!m_hWnd->isWindow() || m_hWnd->parentWidget())) m_hWnd->raise();
}

void CDialog::SetGeometry(const QRect& rc)
{
    if (!m_hWnd) return;
    QPoint topLeft = rc.topLeft();
    if (m_hWnd->isWindow() && m_hWnd->parentWidget()) topLeft = m_hWnd->parentWidget()->mapToGlobal(topLeft);
    const QRect g(topLeft, QSize(std::max(rc.width(), 0), std::max(rc.height(), 0)));
    if (m_hWnd->geometry() != g) m_hWnd->setGeometry(g);
}

void CDialog::Resize(const QSize& size)
{
    if (m_hWnd && m_hWnd->size() != size) m_hWnd->resize(size);
}

void CDialog::Invalidate()
{
    if (m_hWnd) m_hWnd->update();
}

void CDialog::InvalidateRect(const CRect& rc)
{
    if (m_hWnd) m_hWnd->update(QRect(rc.left, rc.top, rc.Width(), rc.Height()));
}

void CDialog::SetFocus()
{
    if (m_hWnd) m_hWnd->setFocus(Qt::OtherFocusReason);
}

void CDialog::SetCursor(HCURSOR cursor)
{
    if (m_hWnd) m_hWnd->setCursor(QCursor(cursor.none ? Qt::BlankCursor : cursor.shape));
}

unsigned CDialog::SetTimer(unsigned id, int periodMs)
{
    if (!m_hWnd) return 0;
    KillTimer(id);
    const int tid = m_hWnd->startTimer(periodMs, Qt::PreciseTimer);
    if (tid == 0) {
        qCWarning(lcUi) << "window" << m_hWnd->windowTitle() << ": startTimer of" << periodMs << "ms for timer" << id
                        << "failed";
        return 0;
    }
    m_timers[id] = tid;
    return id;
}

bool CDialog::KillTimer(unsigned id)
{
    const auto it = m_timers.find(id);
    if (it == m_timers.end()) return false;
    if (m_hWnd) m_hWnd->killTimer(it->second);
    m_timers.erase(it);
    return true;
}

void CDialog::SetWindowTitle(const QString& title)
{
    if (m_hWnd) m_hWnd->setWindowTitle(title);
}

bool CDialog::OnInitDialog() { return true; }

void CDialog::OnOK() { EndDialog(IDOK); }

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

void CDialog::OnClose() { OnCancel(); }
