#include "app/bar_app.h"

#include "app/bar_dlg.h"

BEGIN_MESSAGE_MAP(CBarApp, CWinApp)
ON_COMMAND(0xE146, OnHelp)
END_MESSAGE_MAP()

CBarApp::CBarApp() : CWinApp(nullptr) {}

BOOL CBarApp::InitInstance() {
    Enable3dControlsStatic();
    CBarDlg dlg(nullptr);
    m_pMainWnd = &dlg;
    dlg.DoModal();
    return FALSE;
}

// The one application object.
CBarApp theApp;
