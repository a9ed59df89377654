#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/report_port.h"

// hidapi's opaque handle, declared the way hidapi.h declares it so this header
// needs no hidapi include.
struct hid_device_;
typedef struct hid_device_ hid_device;

// Closes an opened interface (hid_close).
struct HidDeviceCloser {
    void operator()(hid_device* device) const;
};
using HidDevicePtr = std::unique_ptr<hid_device, HidDeviceCloser>;

// What an interface is for: the one that takes the output reports, or the
// one used when the keyboard has no such interface.
enum class HidInterfaceKind { Reports, Fallback };

// One opened HID interface of the keyboard.
struct HidDeviceEntry {
    std::wstring m_strProduct;
    std::string m_strPath;  // the system's name for the interface (on Linux /dev/hidrawN)
    HidDevicePtr m_pDevice;
    HidInterfaceKind m_kind = HidInterfaceKind::Fallback;
};

// The process-wide link to the keyboard: the opened interfaces, the one that
// reports go to, and the moving of whole reports to and from it. What the
// reports mean is the keyboard protocols' business. Used from the lighting
// thread only; the list changes only between reports.
class CHidDeviceManager {
public:
    static constexpr int kVendorUsagePage = 0xFF00;

    // The process's manager, created on first use (the first frame that sends)
    // and destroyed at exit.
    static CHidDeviceManager& Instance();

    // Initialises the HID layer; a failure leaves every device unusable.
    CHidDeviceManager();
    ~CHidDeviceManager();
    CHidDeviceManager(const CHidDeviceManager&) = delete;
    CHidDeviceManager& operator=(const CHidDeviceManager&) = delete;

    // One whole output report to the chosen interface; NoKeyboard, with no
    // I/O, while the list is not open or holds no interface that could take it.
    WriteOutcome Write(const uint8_t (&report)[kReportBytes]);
    // One input report from the chosen interface, waiting at most timeoutMs;
    // the reply is left as it was when nothing arrives or nothing is chosen.
    void Read(uint8_t (&reply)[kReportBytes], int timeoutMs);

    // The interface reports go to: the first Reports entry, else the first
    // Fallback entry; null when there is none. Cached until CloseAll; the list
    // keeps owning it.
    hid_device* FindInterface();

    // Closes every opened interface and empties the list.
    void CloseAll();

    // Discovery: closes what is open, then opens every interface of the
    // keyboard with these USB ids (vendor-defined usage page: Reports, others:
    // Fallback) and sets the list open when at least one could be opened.
    bool OpenKeyboard(uint16_t vendorId, uint16_t productId);

    // The path of the interface reports go to; empty when none.
    std::string ReportPath();
    // The path of an interface that the last discovery found but was refused
    // access to (the user may not open it); empty when none was.
    const std::string& DeniedPath() const { return m_strDeniedPath; }

    // The steps of discovery, also used to stage interfaces directly.
    void AddInterface(std::unique_ptr<HidDeviceEntry> entry);
    void MarkOpen() { m_bOpen = true; }

    bool IsOpen() const { return m_bOpen; }
    bool HidReady() const { return m_bHidReady; }
    size_t InterfaceCount() const { return m_devices.size(); }
    const HidDeviceEntry* Interface(size_t i) const { return m_devices[i].get(); }

    // Whether the most recent hid_write failed: the sign of an unplugged keyboard.
    bool LastWriteFailed() const { return m_bLastWriteFailed; }

private:
    // The chosen interface's handle, owned by its entry.
    hid_device* Chosen() const { return m_devices[*m_chosen]->m_pDevice.get(); }

    bool m_bOpen = false;
    std::vector<std::unique_ptr<HidDeviceEntry>> m_devices;
    std::optional<size_t> m_chosen;  // the entry FindInterface chose
    bool m_bHidReady = false;
    bool m_bLastWriteFailed = false;
    std::string m_strDeniedPath;
};
