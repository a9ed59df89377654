#pragma once

#include <cstdint>

// The process-wide guard that lets only one daemon run per user session.
class SingleInstance {
public:
    static constexpr const char* kName = "Kolvex-20250418";

    SingleInstance();
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // True when another running copy holds the guard. When the guard cannot be
    // created at all, this copy runs unguarded rather than not at all.
    bool AnotherIsRunning() const { return m_bAnotherRunning; }
    // The process id of that other copy, where the guard records it (the
    // Linux lock file does; the Windows mutex does not); 0 when unknown.
    int64_t OtherPid() const { return m_nOtherPid; }

private:
    bool m_bAnotherRunning = false;
    int64_t m_nOtherPid = 0;
    intptr_t m_handle = -1;  // a lock file descriptor or a mutex handle
};
