// The Windows process shell: everything happens in the application object.
#include <winsock2.h>
#include <windows.h>

#include "app/kolvex_app_win.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    theApp.InitInstance();
    return 0;
}
