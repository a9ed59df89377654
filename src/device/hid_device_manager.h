#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device/key_report.h"

// hidapi's opaque handle, declared the way hidapi.h declares it so this header
// needs no hidapi include.
struct hid_device_;
typedef struct hid_device_ hid_device;

// One opened HID interface of the keyboard.
struct HidDeviceEntry {
    std::wstring m_strManufacturer;
    std::wstring m_strProduct;
    std::wstring m_strSerial;
    std::string m_strPath;            // the system's name for the interface (on Linux /dev/hidrawN)
    hid_device* m_pDevice = nullptr;  // owned; closed by CloseAll
    int32_t m_selector = 0;
    int32_t m_kind = 1;  // 0: takes the output reports; 1: fallback; others never chosen
};

// The process-wide link to the keyboard: the opened interfaces, the one that
// reports go to, and the two sends. Used from the lighting thread only; the
// list changes only between sends.
class CHidDeviceManager {
public:
    static constexpr int kReadTimeoutMs = 500;
    static constexpr uint32_t kRetryPauseMs = 10;
    static constexpr uint32_t kReplyPauseMs = 5;
    static constexpr int kVendorUsagePage = 0xFF00;

    // The process's manager, created on first use (the first frame that sends)
    // and destroyed at exit.
    static CHidDeviceManager& Instance();

    // Initialises the HID layer; a failure leaves every device unusable.
    CHidDeviceManager();
    ~CHidDeviceManager();
    CHidDeviceManager(const CHidDeviceManager&) = delete;
    CHidDeviceManager& operator=(const CHidDeviceManager&) = delete;

    // One per-key colour packet; afterwards the payload holds the reply's data
    // bytes 1 to 64. True only when the keyboard acknowledged.
    bool SendKeyPacket(uint8_t (&payload)[kPacketBytes]);

    // One column-level report with its checksum, written whole (its 33 bytes,
    // then zeros to the 65-byte report) and retried once after 10 ms when the
    // write fails; afterwards report bytes 0 to 63 hold the reply's data bytes
    // 1 to 64. True only when the keyboard acknowledged.
    bool SendCommand(uint8_t (&report)[kReportBytes]);

    // The interface reports go to: the first kind-0 entry with our selector,
    // else the first kind-1 entry. Cached until CloseAll.
    hid_device* FindInterface();

    // Closes every opened interface and empties the list.
    void CloseAll();

    // Discovery: closes what is open, then opens every interface of the
    // keyboard with these USB ids (vendor-defined usage page: kind 0, others:
    // kind 1) and sets the list open when at least one could be opened.
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
    int Write(const uint8_t* data, size_t length);

    bool m_bOpen = false;
    std::vector<std::unique_ptr<HidDeviceEntry>> m_devices;
    int32_t m_selector = 0;
    hid_device* m_pChosen = nullptr;
    bool m_bHidReady = false;
    bool m_bLastWriteFailed = false;
    std::string m_strDeniedPath;
};
