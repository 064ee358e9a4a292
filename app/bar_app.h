// The application object: runs the bar dialog modally as the main window, then ends.
#pragma once

#include "framework/afx_win.h"

class CBarApp : public CWinApp {
public:
    CBarApp();
    ~CBarApp() override = default;
    // Runs the bar; always FALSE, so the program ends when the bar does.
    BOOL InitInstance() override;

    DECLARE_MESSAGE_MAP()
};
