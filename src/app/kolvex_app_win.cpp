#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>
#include <objidl.h>  // before gdiplus.h, which needs it under WIN32_LEAN_AND_MEAN
#include <gdiplus.h>

#include <memory>

#include "app/kolvex_app_win.h"
#include "app/kolvex_dlg.h"
#include "app/single_instance.h"

CKolvexApp theApp;

bool CKolvexApp::InitInstance()
{
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = 0xFF;
    InitCommonControlsEx(&controls);

    // A second instance ends here, silently; the first holds the mutex until
    // the process ends.
    const SingleInstance instance;
    if (instance.AnotherIsRunning()) {
        return false;
    }

    Gdiplus::GdiplusStartupInput gdiplusInput;
    ULONG_PTR gdiplusToken = 0;
    const bool gdiplusStarted = Gdiplus::GdiplusStartup(&gdiplusToken, &gdiplusInput, nullptr) == Gdiplus::Ok;

    auto dlg = std::make_unique<CKolvexDlg>();
    dlg->DoModal();
    // The window object goes before GDI+ does: what it owns may hold GDI+
    // objects, and its workers are already joined.
    dlg.reset();

    if (gdiplusStarted) {
        Gdiplus::GdiplusShutdown(gdiplusToken);
    }
    return false;
}
