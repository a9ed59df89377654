// Screen sampling from the X server named by DISPLAY (XWayland included),
// through XCB.
//
// The root window, child windows included, is scaled on the server with
// RENDER to a 480 x 270 pixmap (bilinear), which is read through a shared
// memory segment (MIT-SHM), so a pass moves about half a megabyte whatever the
// screen's size. Without MIT-SHM (a server in another IPC namespace, or one
// that refuses it) the picture comes with a plain GetImage request; without
// RENDER the whole root is read and averaged here. The portable GridReducer
// then turns the picture into the grid.
//
// XCB rather than Xlib: Xlib hands a broken connection to a process-wide
// handler that ends the process, and returning from its newer exit handler
// leaves the display's lock released twice. XCB reports the broken connection
// as a value after the request that failed; the connection is then closed and
// opened again about once a second.
//
// A pass waits for the picture at most kReplyTimeout: a server that is stopped
// (SIGSTOP, a debugger) rather than dead keeps the connection open and never
// answers, and an unbounded wait would hold the sampler thread, and with it
// the daemon's shutdown, for good. The unanswered request stays pending; the
// next passes look for its reply before they ask again, so a server that goes
// on later is read again on the same connection. (Connecting itself is XCB's
// own blocking handshake; that wait is not bounded here.)
//
// Threads: everything here runs on the sampler thread, which owns the
// connection; no lock is needed.
#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/render.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>  // xcb_poll_for_reply

#include <bit>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "base/log.h"
#include "screen/grid_reducer.h"
#include "screen/screen_sampler.h"
#include "screen/screen_samplers_linux.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kReopenInterval = std::chrono::seconds(1);
constexpr auto kReplyTimeout = std::chrono::milliseconds(500);
constexpr int kPictureWidth = ScreenSampler::kPictureWidth;
constexpr int kPictureHeight = ScreenSampler::kPictureHeight;
constexpr uint8_t kPictureDepth = 24;
constexpr char kBilinear[] = "bilinear";

// Replies and events are malloc'd by XCB and freed by their reader.
struct FreeDeleter {
    void operator()(void* block) const { std::free(block); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

std::string DisplayName()
{
    const char* name = std::getenv("DISPLAY");
    return name != nullptr ? name : "";
}

xcb_render_fixed_t Fixed(double value)
{
    return static_cast<xcb_render_fixed_t>(value * 65536.0);
}

enum class Wait { Answered, TimedOut };

// Waits up to the deadline for the reply (or error) to the request; with
// Answered, *reply holds it (null when an error came, or the connection broke).
Wait WaitForReply(xcb_connection_t* connection, unsigned int sequence, Clock::time_point deadline, void** reply)
{
    *reply = nullptr;
    xcb_flush(connection);
    for (;;) {
        xcb_generic_error_t* error = nullptr;
        if (xcb_poll_for_reply(connection, sequence, reply, &error) != 0) {
            std::free(error);
            return Wait::Answered;
        }
        if (xcb_connection_has_error(connection) != 0) {
            return Wait::Answered;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return Wait::TimedOut;
        }
        pollfd entry{xcb_get_file_descriptor(connection), POLLIN, 0};
        ::poll(&entry, 1, static_cast<int>(left.count()));
    }
}

class XcbScreenSampler final : public ScreenSampler {
public:
    XcbScreenSampler() = default;
    ~XcbScreenSampler() override { Disconnect(); }
    XcbScreenSampler(const XcbScreenSampler&) = delete;
    XcbScreenSampler& operator=(const XcbScreenSampler&) = delete;

    Result Sample(ScreenGrid& grid, int columns, int rows) override;

private:
    enum class Presence { Unknown, Present, Absent };

    bool Connect();
    void Disconnect();
    // Also true once the connection has been closed.
    bool Lost() const { return m_connection == nullptr || xcb_connection_has_error(m_connection) != 0; }
    // Scaling, or the whole root read, for the current root size; false when
    // the server's pixel format is not one read here.
    bool Prepare();
    bool PrepareScaling();
    bool ReadablePixels(uint8_t depth) const;
    bool RootIsEightBitRgb() const;
    bool AttachSegment(size_t bytes);
    void DetachSegment();
    void FollowRootSize();
    // Reads the picture and reduces it into the grid.
    bool ReadAndReduce(ScreenGrid& grid, int columns, int rows);
    // Waits for the reply to the request, bounded; on a time-out the request
    // is left pending and the server counted as not answering.
    template <typename T>
    Reply<T> Await(unsigned int sequence);
    // True once the reply to a pending request has come (it is dropped).
    bool PendingAnswered();
    // Logs the message when the display was not already known to be absent.
    void Absent(const std::string& message);

    xcb_connection_t* m_connection = nullptr;
    const xcb_screen_t* m_screen = nullptr;
    int m_width = 0;
    int m_height = 0;
    bool m_bShm = false;
    bool m_bRender = false;
    xcb_pixmap_t m_smallPixmap = 0;
    xcb_render_picture_t m_smallPicture = 0;
    xcb_render_picture_t m_rootPicture = 0;
    xcb_shm_seg_t m_segment = 0;
    void* m_segmentAddress = nullptr;
    size_t m_segmentBytes = 0;
    Presence m_presence = Presence::Unknown;
    Clock::time_point m_nextAttempt{};
    std::optional<unsigned int> m_pending;  // a request the server has not answered yet
    bool m_bSilent = false;                 // the server let a request time out
    GridReducer m_reducer;
};

ScreenSampler::Result XcbScreenSampler::Sample(ScreenGrid& grid, int columns, int rows)
{
    if (m_connection == nullptr) {
        const Clock::time_point now = Clock::now();
        if (now < m_nextAttempt) {
            return Result::NoScreen;
        }
        m_nextAttempt = now + kReopenInterval;
        if (!Connect()) {
            return Result::NoScreen;
        }
    }
    bool read = false;
    if (PendingAnswered()) {
        FollowRootSize();
        read = !Lost() && ReadAndReduce(grid, columns, rows);
    }
    if (Lost()) {
        Disconnect();
        m_nextAttempt = Clock::now() + kReopenInterval;
        Absent("lost the X display \"" + DisplayName() + "\"; screen mode shows black keys until it is back");
        return Result::NoScreen;
    }
    return read ? Result::Sampled : Result::Failed;
}

template <typename T>
Reply<T> XcbScreenSampler::Await(unsigned int sequence)
{
    void* reply = nullptr;
    if (WaitForReply(m_connection, sequence, Clock::now() + kReplyTimeout, &reply) == Wait::TimedOut) {
        m_pending = sequence;
        if (!m_bSilent) {
            LogWarning("screen colours: the X display \"" + DisplayName() +
                       "\" does not answer; the keys keep their colours until it does");
        }
        m_bSilent = true;
        return nullptr;
    }
    return Reply<T>(static_cast<T*>(reply));
}

bool XcbScreenSampler::PendingAnswered()
{
    if (!m_pending) {
        return true;
    }
    void* reply = nullptr;
    if (WaitForReply(m_connection, *m_pending, Clock::now() + kReplyTimeout, &reply) == Wait::TimedOut) {
        return false;
    }
    std::free(reply);
    m_pending.reset();
    if (m_bSilent && !Lost()) {
        LogInfo("screen colours: the X display \"" + DisplayName() + "\" answers again");
    }
    m_bSilent = false;
    return true;
}

void XcbScreenSampler::Absent(const std::string& message)
{
    if (m_presence != Presence::Absent) {
        LogWarning("screen colours: " + message);
    }
    m_presence = Presence::Absent;
}

bool XcbScreenSampler::Connect()
{
    const std::string name = DisplayName();
    if (name.empty()) {
        Absent("no X display (DISPLAY is not set); screen mode shows black keys");
        return false;
    }
    int screenNumber = 0;
    m_connection = xcb_connect(nullptr, &screenNumber);
    if (Lost()) {
        Disconnect();
        Absent("cannot open the X display \"" + name + "\"; screen mode shows black keys until it answers");
        return false;
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(m_connection));
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i) {
        xcb_screen_next(&screens);
    }
    m_screen = screens.rem > 0 ? screens.data : nullptr;
    if (m_screen == nullptr) {
        Disconnect();
        Absent("the X display \"" + name + "\" has no screen " + std::to_string(screenNumber));
        return false;
    }
    m_width = m_screen->width_in_pixels;
    m_height = m_screen->height_in_pixels;
    // Resizes of the root arrive as ConfigureNotify events.
    const uint32_t events = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(m_connection, m_screen->root, XCB_CW_EVENT_MASK, &events);

    const xcb_query_extension_reply_t* shm = xcb_get_extension_data(m_connection, &xcb_shm_id);
    m_bShm = shm != nullptr && shm->present &&
             Reply<xcb_shm_query_version_reply_t>(
                 xcb_shm_query_version_reply(m_connection, xcb_shm_query_version(m_connection), nullptr)) != nullptr;
    const xcb_query_extension_reply_t* render = xcb_get_extension_data(m_connection, &xcb_render_id);
    m_bRender = render != nullptr && render->present &&
                Reply<xcb_render_query_version_reply_t>(xcb_render_query_version_reply(
                    m_connection, xcb_render_query_version(m_connection, 0, 11), nullptr)) != nullptr;

    if (!Prepare()) {
        const bool lost = Lost();
        Disconnect();
        Absent(lost ? "lost the X display \"" + name + "\" while setting up; screen mode shows black keys"
                    : "the X display \"" + name + "\" has a pixel format Tonvik cannot read; screen mode shows black keys");
        return false;
    }
    if (m_presence != Presence::Present) {
        LogInfo("screen colours: sampling the X display \"" + name + "\" (" + std::to_string(m_width) + " x " +
                std::to_string(m_height) + (m_bRender ? ", scaled by the server" : ", read whole") +
                (m_bShm ? ", shared memory)" : ")"));
    }
    m_presence = Presence::Present;
    return true;
}

void XcbScreenSampler::Disconnect()
{
    if (m_connection == nullptr) {
        return;
    }
    // Closing the connection releases the server's pictures, pixmap and its
    // attachment of the segment.
    xcb_disconnect(m_connection);
    m_connection = nullptr;
    m_pending.reset();
    m_bSilent = false;
    m_screen = nullptr;
    DetachSegment();
    m_smallPixmap = 0;
    m_smallPicture = 0;
    m_rootPicture = 0;
}

bool XcbScreenSampler::ReadablePixels(uint8_t depth) const
{
    constexpr uint8_t kHostOrder =
        std::endian::native == std::endian::little ? XCB_IMAGE_ORDER_LSB_FIRST : XCB_IMAGE_ORDER_MSB_FIRST;
    const xcb_setup_t* setup = xcb_get_setup(m_connection);
    if (setup->image_byte_order != kHostOrder) {
        return false;
    }
    for (auto formats = xcb_setup_pixmap_formats_iterator(setup); formats.rem > 0; xcb_format_next(&formats)) {
        if (formats.data->depth == depth) {
            return formats.data->bits_per_pixel == 32 && formats.data->scanline_pad == 32;
        }
    }
    return false;
}

bool XcbScreenSampler::RootIsEightBitRgb() const
{
    for (auto depths = xcb_screen_allowed_depths_iterator(m_screen); depths.rem > 0; xcb_depth_next(&depths)) {
        for (auto visuals = xcb_depth_visuals_iterator(depths.data); visuals.rem > 0; xcb_visualtype_next(&visuals)) {
            if (visuals.data->visual_id == m_screen->root_visual) {
                return visuals.data->red_mask == 0xFF0000 && visuals.data->green_mask == 0xFF00 &&
                       visuals.data->blue_mask == 0xFF;
            }
        }
    }
    return false;
}

bool XcbScreenSampler::Prepare()
{
    if (m_bRender) {
        return PrepareScaling();
    }
    if (!RootIsEightBitRgb() || !ReadablePixels(m_screen->root_depth)) {
        return false;
    }
    DetachSegment();
    if (m_bShm && !AttachSegment(static_cast<size_t>(m_width) * static_cast<size_t>(m_height) * 4)) {
        m_bShm = false;
    }
    return !Lost();
}

bool XcbScreenSampler::PrepareScaling()
{
    if (m_smallPicture == 0) {
        if (!ReadablePixels(kPictureDepth)) {
            return false;
        }
        const Reply<xcb_render_query_pict_formats_reply_t> formats(xcb_render_query_pict_formats_reply(
            m_connection, xcb_render_query_pict_formats(m_connection), nullptr));
        if (!formats) {
            return false;
        }
        xcb_render_pictformat_t rgb24 = 0;
        for (auto it = xcb_render_query_pict_formats_formats_iterator(formats.get()); it.rem > 0;
             xcb_render_pictforminfo_next(&it)) {
            const xcb_render_directformat_t& direct = it.data->direct;
            if (it.data->type == XCB_RENDER_PICT_TYPE_DIRECT && it.data->depth == kPictureDepth &&
                direct.red_shift == 16 && direct.red_mask == 0xFF && direct.green_shift == 8 &&
                direct.green_mask == 0xFF && direct.blue_shift == 0 && direct.blue_mask == 0xFF &&
                direct.alpha_mask == 0) {
                rgb24 = it.data->id;
            }
        }
        xcb_render_pictformat_t rootFormat = 0;
        for (auto screens = xcb_render_query_pict_formats_screens_iterator(formats.get()); screens.rem > 0;
             xcb_render_pictscreen_next(&screens)) {
            for (auto depths = xcb_render_pictscreen_depths_iterator(screens.data); depths.rem > 0;
                 xcb_render_pictdepth_next(&depths)) {
                for (auto visuals = xcb_render_pictdepth_visuals_iterator(depths.data); visuals.rem > 0;
                     xcb_render_pictvisual_next(&visuals)) {
                    if (visuals.data->visual == m_screen->root_visual) {
                        rootFormat = visuals.data->format;
                    }
                }
            }
        }
        if (rgb24 == 0 || rootFormat == 0) {
            return false;
        }
        m_rootPicture = xcb_generate_id(m_connection);
        const uint32_t includeInferiors = XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS;
        xcb_render_create_picture(m_connection, m_rootPicture, m_screen->root, rootFormat, XCB_RENDER_CP_SUBWINDOW_MODE,
                                  &includeInferiors);
        xcb_render_set_picture_filter(m_connection, m_rootPicture, sizeof kBilinear - 1, kBilinear, 0, nullptr);
        m_smallPixmap = xcb_generate_id(m_connection);
        xcb_create_pixmap(m_connection, kPictureDepth, m_smallPixmap, m_screen->root, kPictureWidth, kPictureHeight);
        m_smallPicture = xcb_generate_id(m_connection);
        xcb_render_create_picture(m_connection, m_smallPicture, m_smallPixmap, rgb24, 0, nullptr);
        if (m_bShm && !AttachSegment(static_cast<size_t>(kPictureWidth) * kPictureHeight * 4)) {
            m_bShm = false;
        }
    }
    // Destination pixel centres map onto the whole root.
    xcb_render_transform_t scale{};
    scale.matrix11 = Fixed(static_cast<double>(m_width) / kPictureWidth);
    scale.matrix22 = Fixed(static_cast<double>(m_height) / kPictureHeight);
    scale.matrix33 = Fixed(1.0);
    xcb_render_set_picture_transform(m_connection, m_rootPicture, scale);
    return !Lost();
}

bool XcbScreenSampler::AttachSegment(size_t bytes)
{
    const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (id < 0) {
        return false;
    }
    void* address = shmat(id, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
        shmctl(id, IPC_RMID, nullptr);
        return false;
    }
    const xcb_shm_seg_t segment = xcb_generate_id(m_connection);
    const Reply<xcb_generic_error_t> error(
        xcb_request_check(m_connection, xcb_shm_attach_checked(m_connection, segment, static_cast<uint32_t>(id), 0)));
    // Marked for removal at once: it goes when both sides have let go, even
    // if this process or the server dies.
    shmctl(id, IPC_RMID, nullptr);
    if (error || Lost()) {
        shmdt(address);
        return false;
    }
    m_segment = segment;
    m_segmentAddress = address;
    m_segmentBytes = bytes;
    return true;
}

void XcbScreenSampler::DetachSegment()
{
    if (m_segmentAddress == nullptr) {
        return;
    }
    if (!Lost()) {
        xcb_shm_detach(m_connection, m_segment);
    }
    shmdt(m_segmentAddress);
    m_segmentAddress = nullptr;
    m_segmentBytes = 0;
}

void XcbScreenSampler::FollowRootSize()
{
    int width = m_width;
    int height = m_height;
    // Errors of requests without a reply arrive here too, and are dropped:
    // the next read tells whether the picture came.
    while (const Reply<xcb_generic_event_t> event{xcb_poll_for_event(m_connection)}) {
        if ((event->response_type & 0x7F) == XCB_CONFIGURE_NOTIFY) {
            const auto* configure = reinterpret_cast<const xcb_configure_notify_event_t*>(event.get());
            if (configure->window == m_screen->root) {
                width = configure->width;
                height = configure->height;
            }
        }
    }
    if (!Lost() && (width != m_width || height != m_height)) {
        m_width = width;
        m_height = height;
        // A size the server cannot be read at ends the connection; the next
        // attempt starts afresh.
        if (!Prepare()) {
            Disconnect();
            Absent("the X display \"" + DisplayName() + "\" changed to a size Tonvik cannot read");
        }
    }
}

bool XcbScreenSampler::ReadAndReduce(ScreenGrid& grid, int columns, int rows)
{
    if (Lost()) {
        return false;
    }
    xcb_drawable_t source = m_screen->root;
    int width = m_width;
    int height = m_height;
    if (m_bRender) {
        xcb_render_composite(m_connection, XCB_RENDER_PICT_OP_SRC, m_rootPicture, XCB_RENDER_PICTURE_NONE,
                             m_smallPicture, 0, 0, 0, 0, 0, 0, kPictureWidth, kPictureHeight);
        source = m_smallPixmap;
        width = kPictureWidth;
        height = kPictureHeight;
    }
    const auto w = static_cast<uint16_t>(width);
    const auto h = static_cast<uint16_t>(height);
    const size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(height) * 4;
    PictureView picture{nullptr, width, height, static_cast<size_t>(width)};
    if (m_segmentAddress != nullptr && bytes <= m_segmentBytes) {
        const auto reply = Await<xcb_shm_get_image_reply_t>(
            xcb_shm_get_image(m_connection, source, 0, 0, w, h, ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, m_segment, 0)
                .sequence);
        if (!reply) {
            return false;
        }
        picture.pixels = static_cast<const uint32_t*>(m_segmentAddress);
        m_reducer.Reduce(picture, columns, rows, grid);
        return true;
    }
    const auto reply = Await<xcb_get_image_reply_t>(
        xcb_get_image(m_connection, XCB_IMAGE_FORMAT_Z_PIXMAP, source, 0, 0, w, h, ~0u).sequence);
    if (!reply || static_cast<size_t>(xcb_get_image_data_length(reply.get())) < bytes) {
        return false;
    }
    // XCB places the data right after the reply header, 4-byte aligned.
    picture.pixels = reinterpret_cast<const uint32_t*>(xcb_get_image_data(reply.get()));
    m_reducer.Reduce(picture, columns, rows, grid);
    return true;
}

}  // namespace

std::unique_ptr<ScreenSampler> OpenX11ScreenSampler()
{
    return std::make_unique<XcbScreenSampler>();
}
