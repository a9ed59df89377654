#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "host/host_process.h"

// A D-Bus daemon of the test's own, standing in for the system bus: its own
// configuration and socket in a directory of its own, anyone may own any
// name. Started and stopped by its pid, also when a test fails.
class PrivateSystemBus {
public:
    PrivateSystemBus();
    ~PrivateSystemBus();
    PrivateSystemBus(const PrivateSystemBus&) = delete;
    PrivateSystemBus& operator=(const PrivateSystemBus&) = delete;

    // Empty when the bus did not start.
    const std::string& Address() const { return m_address; }
    const std::string& Dir() const { return m_dir.Path(); }

private:
    TempDir m_dir;
    std::string m_address;
    pid_t m_pid = -1;
};

// The tests' logind (fake_logind.py) on such a bus, and the test-only
// interface that drives it. Stopped by its pid with the object.
class FakeLogind {
public:
    // flags: "--locked", "--inactive" for a session in that state from the start.
    FakeLogind(const PrivateSystemBus& bus, const std::vector<std::string>& flags = {});
    ~FakeLogind();
    FakeLogind(const FakeLogind&) = delete;
    FakeLogind& operator=(const FakeLogind&) = delete;

    // True once it owns logind's name.
    bool Ready() const { return m_ready; }
    // Calls a method of org.tonvik.test.Logind (SetLockedHint, SetActive,
    // EmitLock, EmitUnlock, EmitPrepareForSleep) with dbus-send's typed
    // arguments ("boolean:true"); true when it answered.
    bool Call(const std::string& method, const std::vector<std::string>& args = {}) const;

private:
    const PrivateSystemBus& m_bus;
    pid_t m_pid = -1;
    bool m_ready = false;
};
