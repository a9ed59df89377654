#pragma once

// The application object: common controls, the single-instance mutex, GDI+,
// and the main window run modally until it is closed.
class CKolvexApp {
public:
    // Runs the whole process; returns false when it is done, at once when
    // another instance runs.
    bool InitInstance();
};

extern CKolvexApp theApp;
