// The window the camera picture is rendered into: a pop-up owned by a
// dialog, frameless, never activated and transparent for the pointer, so
// that clicks over the picture reach the dialog beneath it.
#pragma once

#include "framework.h"

#include <QString>

// Creates a hidden preview window of class `className` owned by `owner`.
HWND CreatePreviewWindowObject(const QString& className, HWND owner);
void DestroyPreviewWindowObject(HWND preview);
bool IsPreviewWindow(HWND hWnd);
