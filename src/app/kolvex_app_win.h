#pragma once

#include <string>

// The application object: common controls, the single-instance mutex, GDI+,
// and the main window run modally until it is closed.
class CKolvexApp {
public:
    // Runs the whole process; returns false when it is done, at once when
    // another instance runs.
    bool InitInstance();

    // The profile key name of the framework the program was designed on. The
    // program keeps no settings, so nothing is stored under it.
    std::wstring m_strRegistryKey;
};

extern CKolvexApp theApp;
