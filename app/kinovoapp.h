#pragma once

#include "framework.h"

class CKinovoApp : public CWinAppEx {
public:
    CKinovoApp();
    bool InitInstance() override;
    int ExitInstance() override;
};

extern CKinovoApp theApp;
