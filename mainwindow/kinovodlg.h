#pragma once

#include "pngdialog.h"

// The main window: the live picture with its buttons, inside a skinned frame.
class CKinovoDlg : public CPNGDialog {
public:
    CKinovoDlg();
    ~CKinovoDlg() override;

    bool OnInitDialog() override;
};
