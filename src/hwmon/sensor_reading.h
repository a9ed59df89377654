#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

static_assert(std::endian::native == std::endian::little, "reading records are little-endian");

// What a sensor source is asked for.
enum ReadingKind : int32_t {
    kReadingTemperature = 1,
    kReadingLoad = 7,
    kReadingNetwork = 8,
};

// Codes a source puts in a record.
enum ReadingCode : int32_t {
    kGroupCpu = 11,
    kGroupGpu = 13,
    kGroupNetwork = 16,
    kSourceNetwork = 707,
    kCodeCpuTotal = 1,
    kCodeDownloadRate = 21,
    kCodeUploadRate = 22,
};

// One reading, in the 464-byte record a sensor library fills. Only the fields
// below are read; every other byte belongs to the library. The bytes come from
// outside, so a text field ends at its first NUL or at the end of its field,
// whichever comes first, and is never read past.
class SensorReadingRecord {
public:
    static constexpr size_t kBytes = 464;

    void Clear() { m_bytes.fill(0); }
    uint8_t* Data() { return m_bytes.data(); }

    bool Exists() const { return Get<int32_t>(kExistsAt) != 0; }
    double Value() const { return Get<double>(kValueAt); }
    std::string_view Unit() const { return Text(kUnitAt, kGroupAt); }
    int32_t Group() const { return Get<int32_t>(kGroupAt); }
    int32_t Device() const { return Get<int32_t>(kDeviceAt); }
    int32_t Source() const { return Get<int32_t>(kSourceAt); }
    std::string_view Label() const { return Text(kLabelAt, kCodeAt); }
    int32_t Code() const { return Get<int32_t>(kCodeAt); }

    // For sources that build records: texts are cut to leave room for a NUL.
    void SetExists(bool exists) { Put<int32_t>(kExistsAt, exists ? 1 : 0); }
    void SetValue(double value) { Put(kValueAt, value); }
    void SetUnit(std::string_view unit) { PutText(kUnitAt, kGroupAt, unit); }
    void SetGroup(int32_t group) { Put(kGroupAt, group); }
    void SetDevice(int32_t device) { Put(kDeviceAt, device); }
    void SetSource(int32_t source) { Put(kSourceAt, source); }
    void SetLabel(std::string_view label) { PutText(kLabelAt, kCodeAt, label); }
    void SetCode(int32_t code) { Put(kCodeAt, code); }

private:
    static constexpr size_t kExistsAt = 0;
    static constexpr size_t kValueAt = 8;
    static constexpr size_t kUnitAt = 16;
    static constexpr size_t kGroupAt = 48;
    static constexpr size_t kDeviceAt = 56;
    static constexpr size_t kSourceAt = 316;
    static constexpr size_t kLabelAt = 328;
    static constexpr size_t kCodeAt = 460;

    template <typename T>
    T Get(size_t offset) const
    {
        T value;
        std::memcpy(&value, m_bytes.data() + offset, sizeof value);
        return value;
    }
    template <typename T>
    void Put(size_t offset, T value)
    {
        std::memcpy(m_bytes.data() + offset, &value, sizeof value);
    }
    std::string_view Text(size_t begin, size_t end) const
    {
        const char* text = reinterpret_cast<const char*>(m_bytes.data() + begin);
        const void* nul = std::memchr(text, 0, end - begin);
        return {text, nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - text) : end - begin};
    }
    void PutText(size_t begin, size_t end, std::string_view text)
    {
        const size_t length = std::min(text.size(), end - begin - 1);
        std::memcpy(m_bytes.data() + begin, text.data(), length);
        std::memset(m_bytes.data() + begin + length, 0, end - begin - length);
    }

    alignas(8) std::array<uint8_t, kBytes> m_bytes{};
};
