#pragma once

#include <QWidget>

// A window that only shows something: it never takes focus or activation,
// and pointer events pass through it to the window below, also through the
// frame a window manager may wrap around it.
class PassiveWindow : public QWidget {
public:
    PassiveWindow(const QString& className, QWidget* owner);

protected:
    void showEvent(QShowEvent* e) override;
};
