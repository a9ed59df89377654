#include "device/hid_device_manager.h"

#include <hidapi.h>

#include <cerrno>
#include <cstring>

#include "base/clock.h"

namespace {

std::wstring Text(const wchar_t* text)
{
    return text != nullptr ? std::wstring(text) : std::wstring();
}

}  // namespace

CHidDeviceManager& CHidDeviceManager::Instance()
{
    static CHidDeviceManager manager;
    return manager;
}

CHidDeviceManager::CHidDeviceManager()
{
    m_bHidReady = hid_init() == 0;
}

CHidDeviceManager::~CHidDeviceManager()
{
    CloseAll();
    hid_exit();
}

hid_device* CHidDeviceManager::FindInterface()
{
    if (m_pChosen != nullptr) {
        return m_pChosen;
    }
    for (const int32_t kind : {0, 1}) {
        for (const auto& entry : m_devices) {
            if (entry && entry->m_selector == m_selector && entry->m_kind == kind) {
                m_pChosen = entry->m_pDevice;
                return m_pChosen;
            }
        }
    }
    return nullptr;
}

int CHidDeviceManager::Write(const uint8_t* data, size_t length)
{
    const int written = hid_write(m_pChosen, data, length);
    m_bLastWriteFailed = written <= 0;
    return written;
}

bool CHidDeviceManager::SendKeyPacket(uint8_t (&payload)[kPacketBytes])
{
    if (!m_bOpen || FindInterface() == nullptr) {
        return false;
    }
    uint8_t report[kReportBytes];
    report[0] = 0;
    std::memcpy(report + 1, payload, kPacketBytes);
    if (Write(report, kReportBytes) <= 0) {
        return false;
    }
    hid_read_timeout(m_pChosen, report, kReportBytes, kReadTimeoutMs);
    std::memcpy(payload, report + 1, kPacketBytes);
    return report[1] == kAcknowledge;
}

bool CHidDeviceManager::SendCommand(uint8_t (&report)[kReportBytes])
{
    if (!m_bOpen || FindInterface() == nullptr) {
        return false;
    }
    // The keyboard takes only whole output reports: the meaningful bytes, then
    // zeros up to its report length. Windows pads a short write itself; hidraw
    // would pass it on short, so every platform gets the whole report.
    std::memset(report + kCommandWriteBytes, 0, kReportBytes - kCommandWriteBytes);
    report[kChecksumOffset] = ReportChecksum(report);
    uint8_t buffer[kReportBytes];
    std::memcpy(buffer, report, kReportBytes);
    if (Write(buffer, kReportBytes) <= 0) {
        SleepMs(kRetryPauseMs);
        std::memcpy(buffer, report, kReportBytes);
        if (Write(buffer, kReportBytes) <= 0) {
            return false;
        }
    }
    SleepMs(kReplyPauseMs);
    hid_read_timeout(m_pChosen, buffer, kReportBytes, kReadTimeoutMs);
    std::memcpy(report, buffer + 1, kReportBytes - 1);
    return buffer[1] == kAcknowledge;
}

std::string CHidDeviceManager::ReportPath()
{
    const hid_device* const chosen = FindInterface();
    for (const auto& entry : m_devices) {
        if (entry && chosen != nullptr && entry->m_pDevice == chosen) {
            return entry->m_strPath;
        }
    }
    return {};
}

void CHidDeviceManager::CloseAll()
{
    // The list is empty whenever the manager is closed, except for
    // interfaces staged but never marked open; those are released too.
    m_bOpen = false;
    for (auto& entry : m_devices) {
        if (entry && entry->m_pDevice != nullptr) {
            hid_close(entry->m_pDevice);
        }
    }
    m_devices.clear();
    m_pChosen = nullptr;
    m_bLastWriteFailed = false;
}

void CHidDeviceManager::AddInterface(std::unique_ptr<HidDeviceEntry> entry)
{
    m_devices.push_back(std::move(entry));
}

bool CHidDeviceManager::OpenKeyboard(uint16_t vendorId, uint16_t productId)
{
    CloseAll();
    // hidapi reads 0 as "any"; a keyboard is only ever opened by its exact ids.
    if (!m_bHidReady || vendorId == 0 || productId == 0) {
        return false;
    }
    m_strDeniedPath.clear();
    hid_device_info* const list = hid_enumerate(vendorId, productId);
    for (const hid_device_info* info = list; info != nullptr; info = info->next) {
        if (info->vendor_id != vendorId || info->product_id != productId || info->path == nullptr) {
            continue;
        }
        // The Linux backend leaves open()'s errno: no permission on the node.
        errno = 0;
        hid_device* const device = hid_open_path(info->path);
        if (device == nullptr) {
            if ((errno == EACCES || errno == EPERM) && m_strDeniedPath.empty()) {
                m_strDeniedPath = info->path;
            }
            continue;
        }
        auto entry = std::make_unique<HidDeviceEntry>();
        entry->m_strManufacturer = Text(info->manufacturer_string);
        entry->m_strProduct = Text(info->product_string);
        entry->m_strSerial = Text(info->serial_number);
        entry->m_strPath = info->path;
        entry->m_pDevice = device;
        entry->m_selector = m_selector;
        entry->m_kind = info->usage_page >= kVendorUsagePage ? 0 : 1;
        AddInterface(std::move(entry));
    }
    hid_free_enumeration(list);
    if (!m_devices.empty()) {
        MarkOpen();
    }
    return m_bOpen;
}
