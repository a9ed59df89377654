#include "device/keyboard_link.h"

#include "device/hid_device_manager.h"

KeyboardLink::KeyboardLink() : KeyboardLink(&CHidDeviceManager::Instance) {}

KeyboardLink::KeyboardLink(ManagerSource source) : m_source(source) {}

void KeyboardLink::BeginFrame(uint16_t vendorId, uint16_t productId, uint64_t now)
{
    if (m_pManager == nullptr) {
        m_pManager = &m_source();
    }
    if (m_schedule.Due(now, m_pManager->IsOpen(), vendorId, productId)) {
        m_pManager->OpenKeyboard(vendorId, productId);
        m_schedule.Ran(now, vendorId, productId);
    }
}

bool KeyboardLink::SendCommand(uint8_t (&report)[kReportBytes])
{
    return m_pManager != nullptr && m_pManager->SendCommand(report);
}

bool KeyboardLink::SendKeyPacket(uint8_t (&payload)[kPacketBytes])
{
    return m_pManager != nullptr && m_pManager->SendKeyPacket(payload);
}

void KeyboardLink::EndFrame()
{
    if (m_pManager != nullptr && m_pManager->IsOpen() && m_schedule.FrameSent(m_pManager->LastWriteFailed())) {
        m_pManager->CloseAll();
    }
}
