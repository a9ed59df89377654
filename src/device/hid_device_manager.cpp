#include "device/hid_device_manager.h"

#include <hidapi.h>

#include <cerrno>

namespace {

std::wstring Text(const wchar_t* text)
{
    return text != nullptr ? std::wstring(text) : std::wstring();
}

struct EnumerationDeleter {
    void operator()(hid_device_info* list) const { hid_free_enumeration(list); }
};

}  // namespace

void HidDeviceCloser::operator()(hid_device* device) const
{
    hid_close(device);
}

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
    if (m_chosen) {
        return Chosen();
    }
    for (const HidInterfaceKind kind : {HidInterfaceKind::Reports, HidInterfaceKind::Fallback}) {
        for (size_t i = 0; i < m_devices.size(); ++i) {
            if (m_devices[i] && m_devices[i]->m_kind == kind) {
                m_chosen = i;
                return Chosen();
            }
        }
    }
    return nullptr;
}

WriteOutcome CHidDeviceManager::Write(const uint8_t (&report)[kReportBytes])
{
    if (!m_bOpen || FindInterface() == nullptr) {
        return WriteOutcome::NoKeyboard;
    }
    m_bLastWriteFailed = hid_write(Chosen(), report, kReportBytes) <= 0;
    return m_bLastWriteFailed ? WriteOutcome::Failed : WriteOutcome::Written;
}

void CHidDeviceManager::Read(uint8_t (&reply)[kReportBytes], int timeoutMs)
{
    if (!m_bOpen || FindInterface() == nullptr) {
        return;
    }
    hid_read_timeout(Chosen(), reply, kReportBytes, timeoutMs);
}

std::string CHidDeviceManager::ReportPath()
{
    if (FindInterface() == nullptr) {
        return {};
    }
    return m_devices[*m_chosen]->m_strPath;
}

void CHidDeviceManager::CloseAll()
{
    // The list is empty whenever the manager is closed, except for
    // interfaces staged but never marked open; those are released too.
    m_bOpen = false;
    m_chosen.reset();
    m_devices.clear();
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
    const std::unique_ptr<hid_device_info, EnumerationDeleter> list(hid_enumerate(vendorId, productId));
    for (const hid_device_info* info = list.get(); info != nullptr; info = info->next) {
        if (info->vendor_id != vendorId || info->product_id != productId || info->path == nullptr) {
            continue;
        }
        // The Linux backend leaves open()'s errno: no permission on the node.
        errno = 0;
        HidDevicePtr device(hid_open_path(info->path));
        if (device == nullptr) {
            if ((errno == EACCES || errno == EPERM) && m_strDeniedPath.empty()) {
                m_strDeniedPath = info->path;
            }
            continue;
        }
        auto entry = std::make_unique<HidDeviceEntry>();
        entry->m_strProduct = Text(info->product_string);
        entry->m_strPath = info->path;
        entry->m_pDevice = std::move(device);
        entry->m_kind = info->usage_page >= kVendorUsagePage ? HidInterfaceKind::Reports : HidInterfaceKind::Fallback;
        AddInterface(std::move(entry));
    }
    if (!m_devices.empty()) {
        MarkOpen();
    }
    return m_bOpen;
}
