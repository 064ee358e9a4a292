// The program's entry point: hands over to the one application object.
#include "framework/afx_win.h"

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR, int nCmdShow) {
    CWinApp* app = AfxGetApp();
    return app ? app->Run(hInstance, nCmdShow) : 1;
}
