// The display window of a skinned dialog: owned by the dialog (so it stays
// above it), click-through, never activated, showing a per-pixel-alpha
// picture with one whole-window opacity.
#pragma once

#include "framework.h"

#include <QImage>
#include <QString>

// Window classes only give the layer windows unique names; registering a
// name twice fails, as the platform's registry does.
bool RegisterWindowClass(const QString& name);
bool UnregisterWindowClass(const QString& name);
bool IsWindowClassRegistered(const QString& name);
// A class name of its own: `prefix` and a number from rand() in upper-case
// hexadecimal ("TransparentWnd6B8B4567").
QString UniqueClassName(const QString& prefix);

// Creates a layer window of class `className` owned by `owner` on `rc`;
// shown without activation when the owner is visible.
HWND CreateLayerWindow(const QString& className, HWND owner, const CRect& rc);
void DestroyLayerWindowObject(HWND layer);
bool IsLayerWindow(HWND hWnd);

// Shows `picture` (premultiplied or plain ARGB32) at `pos` with `size` and
// whole-window opacity `alpha` (0..255), in one update. Without a
// compositing manager the window is shaped by the picture's alpha instead.
bool UpdateLayeredWindow(HWND layer, CPoint pos, CPoint size, const QImage& picture, int alpha);

// The picture a layer window shows now, and its opacity (for tests and grabs).
QImage LayerPicture(HWND layer);
int LayerAlpha(HWND layer);

// The region of `picture` a window shaped by it keeps: pixels at least half opaque.
QRegion OpaqueRegion(const QImage& picture);
