// A thin dialog framework on Qt Widgets: an application object, modal and
// modeless dialogs with virtual message handlers, window placement, timers,
// pointer shapes and a worker-to-UI synchronous repaint.
#pragma once

#include <QPointer>
#include <QWidget>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class QEventLoop;

// The handle of a window: the Qt widget that is that window.
using HWND = QWidget*;

struct CPoint {
    int x = 0;
    int y = 0;
    friend bool operator==(const CPoint&, const CPoint&) = default;
};

// Win32-style rectangle: right and bottom are exclusive.
struct CRect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
    friend bool operator==(const CRect&, const CRect&) = default;
};

// Dialog results.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;

// Size types reported to OnSize.
inline constexpr unsigned SIZE_RESTORED = 0;
inline constexpr unsigned SIZE_MINIMIZED = 1;
inline constexpr unsigned SIZE_MAXIMIZED = 2;
inline constexpr unsigned SIZE_MAXSHOW = 3;
inline constexpr unsigned SIZE_MAXHIDE = 4;

// Key flags of pointer messages.
inline constexpr unsigned MK_LBUTTON = 0x0001;
inline constexpr unsigned MK_RBUTTON = 0x0002;
inline constexpr unsigned MK_SHIFT = 0x0004;
inline constexpr unsigned MK_CONTROL = 0x0008;
inline constexpr unsigned MK_MBUTTON = 0x0010;

// ShowWindow commands.
enum ShowCommand { SW_HIDE, SW_SHOWNORMAL, SW_SHOW, SW_SHOWNA, SW_MAXIMIZE, SW_RESTORE, SW_MINIMIZE };

// SetWindowPos flags.
inline constexpr unsigned SWP_NOSIZE = 0x0001;
inline constexpr unsigned SWP_NOMOVE = 0x0002;
inline constexpr unsigned SWP_NOZORDER = 0x0004;
inline constexpr unsigned SWP_NOREDRAW = 0x0008;
inline constexpr unsigned SWP_NOACTIVATE = 0x0010;
inline constexpr unsigned SWP_SHOWWINDOW = 0x0040;
inline constexpr unsigned SWP_HIDEWINDOW = 0x0080;

// Z-order targets of SetWindowPos besides a window.
// HWND_TOP raises, HWND_BOTTOM lowers, HWND_NOTOPMOST leaves the order alone
// (no window of the program is topmost); any other window places the window
// just below that one.
inline const HWND HWND_TOP = nullptr;
inline const HWND HWND_BOTTOM = reinterpret_cast<HWND>(std::uintptr_t{1});
inline const HWND HWND_NOTOPMOST = reinterpret_cast<HWND>(std::uintptr_t{2});

// Pointer shapes.
struct HCURSOR {
    Qt::CursorShape shape = Qt::ArrowCursor;
    bool none = false;
    friend bool operator==(const HCURSOR&, const HCURSOR&) = default;
};
enum SystemCursor { IDC_ARROW, IDC_HAND, IDC_SIZENS, IDC_SIZEWE, IDC_SIZENESW, IDC_SIZENWSE };
HCURSOR LoadCursor(SystemCursor id);
inline constexpr HCURSOR NoCursor() { return HCURSOR{Qt::BlankCursor, true}; }

// Global window services.
bool IsWindow(HWND hWnd);
bool GetWindowRect(HWND hWnd, CRect* rc);
bool ShowWindow(HWND hWnd, ShowCommand cmd);
bool SetWindowPos(HWND hWnd, HWND after, int x, int y, int cx, int cy, unsigned flags);
bool MoveWindow(HWND hWnd, int x, int y, int cx, int cy);
bool GetCursorPos(CPoint* pt);
// Size of the screen the window lies on (the primary screen without a window).
CPoint GetScreenSize(HWND hWnd);
// Children in the Win32 sense: child widgets that are not windows of their own.
std::vector<HWND> ChildWindows(HWND hWnd);
// Whether a compositing manager runs: per-pixel alpha and window opacity work.
bool IsCompositingActive();

class CDialog;

// The event type of a paint sent by a worker (the user-interface thread
// handles it like a paint message of the window).
int SyncPaintEventType();

// The framework's application object. Exactly one exists; the framework's
// entry point runs InitInstance, then returns ExitInstance's value.
class CWinAppEx {
public:
    explicit CWinAppEx(bool resourceSmartUpdate = false);
    virtual ~CWinAppEx();
    CWinAppEx(const CWinAppEx&) = delete;
    CWinAppEx& operator=(const CWinAppEx&) = delete;

    virtual bool InitInstance();
    virtual int ExitInstance();

    CDialog* m_pMainWnd = nullptr;

    // Runs the application: the body of main().
    static int Run(int argc, char** argv);
};
CWinAppEx* AfxGetApp();

// A worker thread that asks the user-interface thread to handle a message
// and waits until it has. The owner cancels it before it goes away, which
// also releases a worker blocked in a send.
class CWorkerThread {
public:
    using Proc = std::function<void(CWorkerThread&)>;
    CWorkerThread() = default;
    ~CWorkerThread();
    CWorkerThread(const CWorkerThread&) = delete;
    CWorkerThread& operator=(const CWorkerThread&) = delete;

    void Start(Proc proc);
    // Cancels any running worker and waits for it to end.
    void Stop();
    bool Running() const { return m_thread.joinable(); }
    bool StopRequested() const;

    // Delivers a synchronous paint to hWnd's dialog on the UI thread; returns
    // false when cancelled or the window is gone.
    bool SendPaint(HWND hWnd);
    // Sleeps, returning early (false) when cancelled.
    bool Sleep(int ms);

private:
    struct Shared;
    std::shared_ptr<Shared> m_shared;
    std::thread m_thread;
};

// The dialog class: a frameless pop-up window whose messages reach virtual
// handlers. Derived classes override what they handle and call the base
// version for default processing.
class CDialog {
public:
    explicit CDialog(unsigned templateId = 0);
    virtual ~CDialog();
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;

    // Modal: creates the window, runs OnInitDialog, shows it and runs the
    // modal loop until EndDialog; returns the dialog result.
    virtual int DoModal();
    // Modeless: creates the hidden window owned by pParent and runs OnInitDialog.
    virtual bool Create(unsigned templateId, CDialog* pParent = nullptr);
    virtual void DestroyWindow();
    void EndDialog(int result);

    HWND GetSafeHwnd() const { return m_hWnd; }
    operator HWND() const { return m_hWnd; }
    unsigned TemplateId() const { return m_nTemplateId; }
    bool IsWindowVisible() const;

    void ShowWindow(ShowCommand cmd) { ::ShowWindow(m_hWnd, cmd); }
    void GetWindowRect(CRect* rc) const { ::GetWindowRect(m_hWnd, rc); }
    void SetWindowPos(HWND after, int x, int y, int cx, int cy, unsigned flags)
    {
        ::SetWindowPos(m_hWnd, after, x, y, cx, cy, flags);
    }
    void Invalidate();
    void InvalidateRect(const CRect& rc);
    void SetFocus();
    void SetCursor(HCURSOR cursor);
    // Starts a timer whose ticks arrive at OnTimer with this identifier.
    unsigned SetTimer(unsigned id, int periodMs);
    bool KillTimer(unsigned id);
    void SetWindowOpacity(double opacity);
    void SetWindowTitle(const QString& title);

    // Message handlers; the base versions are the default processing.
    virtual bool OnInitDialog();
    virtual void OnOK();
    virtual void OnCancel();
    virtual void OnClose();
    virtual bool OnEraseBkgnd() { return true; }
    virtual void OnPaint() {}
    virtual void OnShowWindow(bool /*bShow*/) {}
    virtual void OnSize(unsigned /*nType*/, int /*cx*/, int /*cy*/) {}
    virtual void OnMove(int /*x*/, int /*y*/) {}
    virtual void OnMouseMove(unsigned /*nFlags*/, CPoint /*point*/) {}
    virtual void OnLButtonDown(unsigned /*nFlags*/, CPoint /*point*/) {}
    virtual void OnLButtonUp(unsigned /*nFlags*/, CPoint /*point*/) {}
    virtual void OnLButtonDblClk(unsigned /*nFlags*/, CPoint /*point*/) {}
    virtual void OnTimer(unsigned /*nIDEvent*/) {}
    // The window became the active one (the window manager raised it).
    virtual void OnActivate(bool /*bActive*/) {}
    // Called after the window is gone.
    virtual void PostNcDestroy() {}

private:
    friend class DialogWindow;
    void WindowGone();
    void CreateWindowObject(CDialog* pParent);

    unsigned m_nTemplateId;
    HWND m_hWnd = nullptr;
    QEventLoop* m_pModalLoop = nullptr;
    int m_nModalResult = IDCANCEL;
    std::map<unsigned, int> m_timers; // our id -> Qt timer id
};
