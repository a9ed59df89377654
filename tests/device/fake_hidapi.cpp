// An emulated keyboard behind the hidapi interface, loaded in place of the
// real library (same soname, its directory first on the library path). It
// presents one keyboard with the default ids and two interfaces, a keyboard
// page one and a vendor page one (enumerated in that order), and answers
// every report with a copy whose second data byte is 0x55. Its output reports
// are 64 bytes behind the report ID, and hidraw hands a shorter write to the
// device as it is: such a report is taken but, cut short, never answered.
//
// Environment:
//   TONVIK_FAKE_HID_LOG      file that every call is appended to, one line each:
//                            "<us> write <iface> ok|failed <hex bytes>", "<us> read <iface> <result> <timeout ms>",
//                            "<us> open <iface>", "<us> close <iface>", "<us> enumerate <count>",
//                            "<us> init", "<us> exit" (us: CLOCK_MONOTONIC microseconds)
//   TONVIK_FAKE_HID_CONTROL  file re-read at every call; its first word sets the behaviour
//   TONVIK_FAKE_HID_STATE    the behaviour while the control file is missing or empty
// Behaviours: "normal" (prompt answers), "silent" (reports taken, never
// answered), "late [ms]" (answers 600 ms or ms after each report), "unplugged"
// (enumerates nothing, opens fail, writes and reads on every handle opened so
// far fail for good), "fail-writes N" (the next N writes fail, counted from
// when this text appeared), "denied" (enumerates, but opens fail with EACCES,
// as for a user without rights to the device node). Writing "normal" after "unplugged" replugs it:
// discovery finds it again and new handles work.
#include <fcntl.h>
#include <hidapi.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>

struct hid_device_ {
    int iface;
    bool dead;
    struct Reply {
        unsigned long long ready;
        unsigned char data[64];
    } replies[64];
    int head;
    int count;
    hid_device_* next;
};

namespace {

constexpr unsigned short kVendorId = 0x320F;
constexpr unsigned short kProductId = 0x5055;
constexpr int kReplyCapacity = 64;
constexpr size_t kOutputReportLength = 65;  // report ID and 64 data bytes

struct FakeInterface {
    const char* path;
    unsigned short usagePage;
    unsigned short usage;
};

constexpr FakeInterface kInterfaces[] = {
    {"fake-hid:0:keyboard", 0x0001, 0x0006},
    {"fake-hid:1:vendor", 0xFF00, 0x0001},
};
constexpr int kInterfaceCount = 2;

enum class Mode { Normal, Silent, Late, Unplugged, FailWrites, Denied };

struct Control {
    Mode mode = Mode::Normal;
    long argument = 0;
};

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
hid_device_* g_devices = nullptr;
char g_lastControlText[128] = {};
long g_failedWrites = 0;

unsigned long long NowUs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<unsigned long long>(now.tv_sec) * 1000000ull + static_cast<unsigned long long>(now.tv_nsec) / 1000;
}

void SleepUs(unsigned long long us)
{
    timespec wait{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

// The log stays open between calls, as a device node would: reopening it for
// every line cost the daemon's lighting thread more than its own work did. It
// is reopened when the variable names another file or the file was removed
// (each test in a test program has a log of its own, removed at its end).
// Each line is one append, so lines from different threads never interleave.
pthread_mutex_t g_logLock = PTHREAD_MUTEX_INITIALIZER;
char g_logPath[4096] = {};
int g_logFd = -1;

int LogFile(const char* path)
{
    struct stat status {};
    const bool same = g_logFd >= 0 && std::strcmp(path, g_logPath) == 0;
    if (same && fstat(g_logFd, &status) == 0 && status.st_nlink > 0) {
        return g_logFd;
    }
    if (g_logFd >= 0) {
        close(g_logFd);
    }
    g_logFd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    std::snprintf(g_logPath, sizeof g_logPath, "%s", g_logFd >= 0 ? path : "");
    return g_logFd;
}

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

void Log(const char* format, ...)
{
    const char* path = std::getenv("TONVIK_FAKE_HID_LOG");
    if (path == nullptr || path[0] == '\0') {
        return;
    }
    char line[2 * 1024 + 256];
    int used = std::snprintf(line, sizeof line, "%llu ", NowUs());
    va_list args;
    va_start(args, format);
    used += std::vsnprintf(line + used, sizeof line - static_cast<size_t>(used), format, args);
    va_end(args);
    used = std::min(used, static_cast<int>(sizeof line) - 2);
    line[used++] = '\n';
    pthread_mutex_lock(&g_logLock);
    const int fd = LogFile(path);
    if (fd >= 0) {
        (void)!write(fd, line, static_cast<size_t>(used));
    }
    pthread_mutex_unlock(&g_logLock);
}

void LogWrite(int iface, bool ok, const unsigned char* data, size_t length)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    char hex[2 * 1024 + 1];
    size_t used = 0;
    for (size_t i = 0; i < length && used + 2 < sizeof hex; ++i) {
        hex[used++] = kDigits[data[i] >> 4];
        hex[used++] = kDigits[data[i] & 0x0F];
    }
    hex[used] = '\0';
    Log("write %d %s %s", iface, ok ? "ok" : "failed", hex);
}

// Reads the behaviour; called with the lock held.
Control ReadControl()
{
    char text[128] = {};
    const char* path = std::getenv("TONVIK_FAKE_HID_CONTROL");
    if (path != nullptr && path[0] != '\0') {
        if (FILE* file = std::fopen(path, "r")) {
            const size_t n = std::fread(text, 1, sizeof text - 1, file);
            text[n] = '\0';
            std::fclose(file);
        }
    }
    if (text[0] == '\0') {
        if (const char* state = std::getenv("TONVIK_FAKE_HID_STATE")) {
            std::snprintf(text, sizeof text, "%s", state);
        }
    }
    if (std::strcmp(text, g_lastControlText) != 0) {
        std::snprintf(g_lastControlText, sizeof g_lastControlText, "%s", text);
        g_failedWrites = 0;
    }

    Control control;
    char word[32] = {};
    long argument = -1;
    if (std::sscanf(text, "%31s %ld", word, &argument) < 1) {
        return control;
    }
    if (std::strcmp(word, "silent") == 0) {
        control.mode = Mode::Silent;
    } else if (std::strcmp(word, "late") == 0) {
        control.mode = Mode::Late;
        control.argument = argument >= 0 ? argument : 600;
    } else if (std::strcmp(word, "unplugged") == 0) {
        control.mode = Mode::Unplugged;
        for (hid_device_* device = g_devices; device != nullptr; device = device->next) {
            device->dead = true;
        }
    } else if (std::strcmp(word, "denied") == 0) {
        control.mode = Mode::Denied;
    } else if (std::strcmp(word, "fail-writes") == 0) {
        control.mode = Mode::FailWrites;
        control.argument = argument >= 0 ? argument : 1;
    }
    return control;
}

bool Matches(unsigned short wanted, unsigned short actual)
{
    return wanted == 0 || wanted == actual;
}

}  // namespace

extern "C" {

int HID_API_EXPORT hid_init(void)
{
    Log("init");
    return 0;
}

int HID_API_EXPORT hid_exit(void)
{
    Log("exit");
    return 0;
}

struct hid_device_info HID_API_EXPORT* hid_enumerate(unsigned short vendor_id, unsigned short product_id)
{
    pthread_mutex_lock(&g_lock);
    const Control control = ReadControl();
    pthread_mutex_unlock(&g_lock);

    hid_device_info* first = nullptr;
    hid_device_info** tail = &first;
    int count = 0;
    if (control.mode != Mode::Unplugged && Matches(vendor_id, kVendorId) && Matches(product_id, kProductId)) {
        for (int i = 0; i < kInterfaceCount; ++i) {
            auto* info = static_cast<hid_device_info*>(std::calloc(1, sizeof(hid_device_info)));
            info->path = strdup(kInterfaces[i].path);
            info->vendor_id = kVendorId;
            info->product_id = kProductId;
            info->serial_number = wcsdup(L"TONVIK-EMULATED");
            info->release_number = 0x0100;
            info->manufacturer_string = wcsdup(L"Tonvik");
            info->product_string = wcsdup(L"Emulated keyboard");
            info->usage_page = kInterfaces[i].usagePage;
            info->usage = kInterfaces[i].usage;
            info->interface_number = i;
            info->bus_type = HID_API_BUS_USB;
            *tail = info;
            tail = &info->next;
            ++count;
        }
    }
    Log("enumerate %d", count);
    return first;
}

void HID_API_EXPORT hid_free_enumeration(struct hid_device_info* devs)
{
    while (devs != nullptr) {
        hid_device_info* next = devs->next;
        std::free(devs->path);
        std::free(devs->serial_number);
        std::free(devs->manufacturer_string);
        std::free(devs->product_string);
        std::free(devs);
        devs = next;
    }
}

hid_device* HID_API_EXPORT hid_open_path(const char* path)
{
    pthread_mutex_lock(&g_lock);
    const Control control = ReadControl();
    hid_device_* device = nullptr;
    const bool refused = control.mode == Mode::Unplugged || control.mode == Mode::Denied;
    for (int i = 0; i < kInterfaceCount && !refused && path != nullptr; ++i) {
        if (std::strcmp(path, kInterfaces[i].path) == 0) {
            device = static_cast<hid_device_*>(std::calloc(1, sizeof(hid_device_)));
            device->iface = i;
            device->next = g_devices;
            g_devices = device;
        }
    }
    pthread_mutex_unlock(&g_lock);
    if (device != nullptr) {
        Log("open %d", device->iface);
    } else {
        Log("open-failed %s", path != nullptr ? path : "(null)");
        errno = control.mode == Mode::Denied ? EACCES : ENOENT;
    }
    return device;
}

void HID_API_EXPORT hid_close(hid_device* dev)
{
    if (dev == nullptr) {
        return;
    }
    pthread_mutex_lock(&g_lock);
    for (hid_device_** link = &g_devices; *link != nullptr; link = &(*link)->next) {
        if (*link == dev) {
            *link = dev->next;
            break;
        }
    }
    pthread_mutex_unlock(&g_lock);
    Log("close %d", dev->iface);
    std::free(dev);
}

int HID_API_EXPORT hid_write(hid_device* dev, const unsigned char* data, size_t length)
{
    if (dev == nullptr || data == nullptr || length == 0) {
        return -1;
    }
    pthread_mutex_lock(&g_lock);
    const Control control = ReadControl();
    bool ok = !dev->dead && control.mode != Mode::Unplugged;
    if (ok && control.mode == Mode::FailWrites && g_failedWrites < control.argument) {
        ++g_failedWrites;
        ok = false;
    }
    if (ok && length == kOutputReportLength && control.mode != Mode::Silent) {
        if (dev->count == kReplyCapacity) {
            dev->head = (dev->head + 1) % kReplyCapacity;
            --dev->count;
        }
        auto& reply = dev->replies[(dev->head + dev->count) % kReplyCapacity];
        ++dev->count;
        const unsigned long long delayUs =
            control.mode == Mode::Late ? static_cast<unsigned long long>(control.argument) * 1000ull : 0ull;
        reply.ready = NowUs() + delayUs;
        std::memset(reply.data, 0, sizeof reply.data);
        std::memcpy(reply.data, data + 1, length - 1 < sizeof reply.data ? length - 1 : sizeof reply.data);
        reply.data[1] = 0x55;
    }
    const int iface = dev->iface;
    pthread_mutex_unlock(&g_lock);
    LogWrite(iface, ok, data, length);
    return ok ? static_cast<int>(length) : -1;
}

int HID_API_EXPORT hid_read_timeout(hid_device* dev, unsigned char* data, size_t length, int milliseconds)
{
    if (dev == nullptr || data == nullptr) {
        return -1;
    }
    pthread_mutex_lock(&g_lock);
    ReadControl();
    if (dev->dead) {
        pthread_mutex_unlock(&g_lock);
        Log("read %d -1 %d", dev->iface, milliseconds);
        return -1;
    }
    const unsigned long long now = NowUs();
    const unsigned long long limit = milliseconds < 0 ? ~0ull : now + static_cast<unsigned long long>(milliseconds) * 1000ull;
    hid_device_::Reply reply{};
    bool answered = false;
    if (dev->count > 0 && dev->replies[dev->head].ready <= limit) {
        reply = dev->replies[dev->head];
        dev->head = (dev->head + 1) % kReplyCapacity;
        --dev->count;
        answered = true;
    }
    const int iface = dev->iface;
    pthread_mutex_unlock(&g_lock);

    if (!answered) {
        // Blocking reads with nothing pending would wait forever; the daemon never makes one.
        if (milliseconds > 0) {
            SleepUs(static_cast<unsigned long long>(milliseconds) * 1000ull);
        }
        Log("read %d 0 %d", iface, milliseconds);
        return 0;
    }
    if (reply.ready > now) {
        SleepUs(reply.ready - now);
    }
    const size_t n = length < sizeof reply.data ? length : sizeof reply.data;
    std::memcpy(data, reply.data, n);
    Log("read %d %zu %d", iface, n, milliseconds);
    return static_cast<int>(n);
}

}  // extern "C"
