// A thin dialog framework on Qt Widgets: an application object, modal and
// modeless dialogs with virtual message handlers, timers and pointer shapes.
// A dialog without a parent is a frameless top-level window. One with a
// parent is a child widget drawn inside it, or a pop-up placed relative to
// it where it may reach beyond it: every platform keeps either where its
// parent put it.
#pragma once

#include <QWidget>

#include <cstdint>
#include <map>
#include <vector>

class QEventLoop;
class QPainter;

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
// The window's rectangle on the screen (also for a child widget).
bool GetWindowRect(HWND hWnd, CRect* rc);
bool GetCursorPos(CPoint* pt);
// Size of the screen the window lies on (the primary screen without a window).
CPoint GetScreenSize(HWND hWnd);
// Whether the window system composes translucent windows over what lies
// below; without it a window is shaped instead.
bool IsCompositingActive();

class CDialog;

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

// The dialog class: a frameless window (or, with a parent, a child widget)
// whose events reach virtual handlers. Derived classes override what they handle and call the base
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
    // Modeless: creates the hidden child widget of pParent (a top-level
    // window without one) and runs OnInitDialog.
    virtual bool Create(unsigned templateId, CDialog* pParent = nullptr);
    // Modeless: a hidden pop-up of pParent that takes no keyboard focus nor
    // grabs the pointer; the parent keeps its keys.
    bool CreatePopup(unsigned templateId, CDialog* pParent);
    virtual void DestroyWindow();
    void EndDialog(int result);

    HWND GetSafeHwnd() const { return m_hWnd; }
    operator HWND() const { return m_hWnd; }
    unsigned TemplateId() const { return m_nTemplateId; }
    bool IsWindowVisible() const;

    void Show();
    void Hide();
    // Above the other children of its parent (a child dialog only).
    void Raise();
    // On the screen for a top-level dialog, in its parent for a child or
    // a pop-up.
    void SetGeometry(const QRect& rc);
    void Resize(const QSize& size);
    void GetWindowRect(CRect* rc) const { ::GetWindowRect(m_hWnd, rc); }
    void Invalidate();
    void InvalidateRect(const CRect& rc);
    void SetFocus();
    void SetCursor(HCURSOR cursor);
    // Starts a timer whose ticks arrive at OnTimer with this identifier.
    unsigned SetTimer(unsigned id, int periodMs);
    bool KillTimer(unsigned id);
    void SetWindowTitle(const QString& title);

    // Message handlers; the base versions are the default processing.
    virtual bool OnInitDialog();
    // A key pressed in the window; true when it was handled here, else
    // Return and Escape go on to OnOK and OnCancel.
    virtual bool OnKeyDown(int /*key*/) { return false; }
    virtual void OnOK();
    virtual void OnCancel();
    virtual void OnClose();
    virtual bool OnEraseBkgnd() { return true; }
    // Paints the window; `painter` draws on it.
    virtual void OnPaint(QPainter& /*painter*/) {}
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
    void CreateWindowObject(CDialog* pParent, bool popup = false);

    unsigned m_nTemplateId;
    HWND m_hWnd = nullptr;
    QEventLoop* m_pModalLoop = nullptr;
    int m_nModalResult = IDCANCEL;
    std::map<unsigned, int> m_timers; // our id -> Qt timer id
};
