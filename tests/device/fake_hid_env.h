#pragma once

// Points the emulated keyboard, linked into this test executable, at a
// private log and control file for the duration of one test.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "device/fake_hid_log.h"
#include "device/report_port.h"

// The protocols' port over a transport that moves whole reports (the device
// manager or the keyboard link), never stopping.
template <class Transport>
class PortOver final : public ReportPort {
public:
    explicit PortOver(Transport& transport) : m_transport(transport) {}

    WriteOutcome Write(const uint8_t (&report)[kReportBytes]) override { return m_transport.Write(report); }
    void Read(uint8_t (&reply)[kReportBytes], int timeoutMs) override { m_transport.Read(reply, timeoutMs); }
    bool Stopping() const override { return false; }

private:
    Transport& m_transport;
};

class FakeHidTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/tonvik-fakehid-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_dir = pattern;
        m_log = m_dir + "/hid.log";
        m_control = m_dir + "/hid.control";
        ::setenv("TONVIK_FAKE_HID_LOG", m_log.c_str(), 1);
        ::setenv("TONVIK_FAKE_HID_CONTROL", m_control.c_str(), 1);
        ::unsetenv("TONVIK_FAKE_HID_STATE");
    }

    void TearDown() override
    {
        ::unsetenv("TONVIK_FAKE_HID_LOG");
        ::unsetenv("TONVIK_FAKE_HID_CONTROL");
        ::unlink(m_log.c_str());
        ::unlink(m_control.c_str());
        ::rmdir(m_dir.c_str());
    }

    void Control(const std::string& text) { SetFakeHidControl(m_control, text); }
    std::vector<FakeHidEvent> Events() const { return ReadFakeHidLog(m_log); }
    std::vector<FakeHidEvent> Events(const std::string& kind) const { return FakeHidEventsOf(Events(), kind); }

    std::string m_dir;
    std::string m_log;
    std::string m_control;
};
