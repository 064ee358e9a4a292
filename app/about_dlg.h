// The About box: the product's name, version and authors.
#pragma once

#include "framework/afx_win.h"

class CAboutDlg : public CDialog {
public:
    CAboutDlg();
    ~CAboutDlg() override = default;

protected:
    void DoDataExchange(CDataExchange*) override {}

    DECLARE_MESSAGE_MAP()
};
