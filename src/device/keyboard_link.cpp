#include "device/keyboard_link.h"

#include <cstdio>
#include <string>

#include "base/log.h"
#include "device/hid_device_manager.h"

namespace {

// "320f:5055", as lsusb and the udev rule write the ids.
std::string UsbIds(uint16_t vendorId, uint16_t productId)
{
    char text[10];
    std::snprintf(text, sizeof text, "%04x:%04x", vendorId, productId);
    return text;
}

}  // namespace

KeyboardLink::KeyboardLink() : KeyboardLink(&CHidDeviceManager::Instance) {}

KeyboardLink::KeyboardLink(ManagerSource source) : m_source(source) {}

void KeyboardLink::BeginFrame(uint16_t vendorId, uint16_t productId, uint64_t now)
{
    if (m_pManager == nullptr) {
        m_pManager = &m_source();
    }
    if (m_schedule.Due(now, m_pManager->IsOpen(), vendorId, productId)) {
        const bool idsChanged = vendorId != m_vendorId || productId != m_productId;
        m_vendorId = vendorId;
        m_productId = productId;
        m_pManager->OpenKeyboard(vendorId, productId);
        m_schedule.Ran(now, vendorId, productId);
        TellDiscovery(idsChanged);
    }
}

void KeyboardLink::TellDiscovery(bool idsChanged)
{
    const std::string keyboard = "keyboard " + UsbIds(m_vendorId, m_productId);
    if (idsChanged) {
        m_presence = Presence::Untold;
    }
    if (m_pManager->IsOpen()) {
        const std::string path = m_pManager->ReportPath();
        if (m_presence == Presence::Lost) {
            LogLimited(LogLevel::Info, "keyboard found again", keyboard + " found again at " + path);
        } else if (m_presence != Presence::Found) {
            LogInfo(keyboard + " found at " + path);
        }
        m_presence = Presence::Found;
        m_state = KeyboardState::Open;
    } else if (!m_pManager->DeniedPath().empty()) {
        if (m_presence != Presence::Denied) {
            LogWarning(keyboard + " found at " + m_pManager->DeniedPath() +
                       ", but access is denied: the udev rule 70-tonvik.rules must cover these ids (see tonvik(1)); "
                       "then replug the keyboard");
        }
        m_presence = Presence::Denied;
        m_state = KeyboardState::Denied;
    } else {
        if (m_presence == Presence::Untold) {
            LogInfo(keyboard + " not found; looking for it once a second while frames go out");
            m_presence = Presence::Missing;
        }
        m_state = KeyboardState::Missing;
    }
}

WriteOutcome KeyboardLink::Write(const uint8_t (&report)[kReportBytes])
{
    return m_pManager != nullptr ? m_pManager->Write(report) : WriteOutcome::NoKeyboard;
}

void KeyboardLink::Read(uint8_t (&reply)[kReportBytes], int timeoutMs)
{
    if (m_pManager != nullptr) {
        m_pManager->Read(reply, timeoutMs);
    }
}

void KeyboardLink::EndFrame()
{
    if (m_pManager != nullptr && m_pManager->IsOpen() && m_schedule.FrameSent(m_pManager->LastWriteFailed())) {
        m_pManager->CloseAll();
        m_presence = Presence::Lost;
        m_state = KeyboardState::Missing;
        LogLimited(LogLevel::Warning, "keyboard lost",
                   "keyboard " + UsbIds(m_vendorId, m_productId) +
                       " lost (its writes fail); looking for it once a second while frames go out");
    }
}
