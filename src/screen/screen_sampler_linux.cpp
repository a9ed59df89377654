// Screen sampling from the X server named by DISPLAY (XWayland included).
//
// The root window, child windows included, is scaled on the server with
// RENDER to a 480 x 270 pixmap (bilinear), which is read through a shared
// memory segment (MIT-SHM), so a pass moves about half a megabyte whatever the
// screen's size. Without MIT-SHM (a server in another IPC namespace, or one
// that refuses it) the picture comes with a plain GetImage request; without
// RENDER the whole root is read and averaged here. The portable GridReducer
// then turns the picture into the grid.
//
// Threads: everything here runs on the sampler thread, which owns the one
// display connection. Xlib's error handlers are process-wide; ours never end
// the process: protocol errors are noted in a thread-local word that the
// sampler thread reads after its own requests, and a broken connection marks
// the sampler lost through the per-connection exit handler, after which the
// connection is closed and opened again about once a second.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xrender.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <bit>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

#include "base/log.h"
#include "screen/grid_reducer.h"
#include "screen/screen_sampler.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kReopenInterval = std::chrono::seconds(1);
constexpr int kPictureWidth = ScreenSampler::kPictureWidth;
constexpr int kPictureHeight = ScreenSampler::kPictureHeight;

// The protocol error of the sampler thread's latest request, 0 for none.
thread_local int t_lastXError = 0;

int NoteXError(Display*, XErrorEvent* event)
{
    t_lastXError = event->error_code;
    return 0;
}

// Xlib's default prints a "fatal IO error" line; the loss is logged once by
// the sampler instead, in the daemon's own words.
int QuietIoError(Display*)
{
    return 0;
}

void InstallErrorHandlers()
{
    static std::once_flag once;
    std::call_once(once, [] {
        XSetErrorHandler(NoteXError);
        XSetIOErrorHandler(QuietIoError);
    });
}

struct ImageDeleter {
    void operator()(XImage* image) const { XDestroyImage(image); }
};
using ImagePtr = std::unique_ptr<XImage, ImageDeleter>;

class X11ScreenSampler final : public ScreenSampler {
public:
    X11ScreenSampler() = default;
    ~X11ScreenSampler() override { Disconnect(); }
    X11ScreenSampler(const X11ScreenSampler&) = delete;
    X11ScreenSampler& operator=(const X11ScreenSampler&) = delete;

    Result Sample(ScreenGrid& grid, int columns, int rows) override;

private:
    enum class Presence { Unknown, Present, Absent };

    static void OnConnectionLost(Display*, void* self) { static_cast<X11ScreenSampler*>(self)->m_bLost = true; }

    bool Connect();
    void Disconnect();
    // Scaling or full-size reading for the current root size; false when the
    // server's pixel format is not one we read.
    bool Prepare();
    bool PrepareScaling();
    bool CreateSharedImage(int width, int height, int depth, Visual* visual);
    void DropSharedImage();
    void FollowRootSize();
    // Reads the picture and reduces it into the grid.
    bool ReadAndReduce(ScreenGrid& grid, int columns, int rows);
    // Logs the message when the display was not already known to be absent.
    void Absent(const std::string& message);

    Display* m_display = nullptr;
    bool m_bLost = false;
    Window m_root = 0;
    Visual* m_rootVisual = nullptr;
    int m_rootDepth = 0;
    int m_width = 0;
    int m_height = 0;
    bool m_bShm = false;
    bool m_bRender = false;
    Pixmap m_smallPixmap = 0;
    Picture m_smallPicture = 0;
    Picture m_rootPicture = 0;
    XImage* m_shmImage = nullptr;
    XShmSegmentInfo m_segment{};
    Presence m_presence = Presence::Unknown;
    Clock::time_point m_nextAttempt{};
    GridReducer m_reducer;
};

std::string DisplayName()
{
    const char* name = std::getenv("DISPLAY");
    return name != nullptr ? name : "";
}

// 32-bit pixels in this machine's byte order with red, green and blue where
// the picture expects them.
bool ReadablePixels(const XImage& image)
{
    constexpr int kHostOrder = std::endian::native == std::endian::little ? LSBFirst : MSBFirst;
    return image.bits_per_pixel == 32 && image.byte_order == kHostOrder && image.bytes_per_line % 4 == 0;
}

PictureView ViewOf(const XImage& image)
{
    return {reinterpret_cast<const uint32_t*>(image.data), image.width, image.height,
            static_cast<size_t>(image.bytes_per_line / 4)};
}

ScreenSampler::Result X11ScreenSampler::Sample(ScreenGrid& grid, int columns, int rows)
{
    if (m_display == nullptr) {
        const Clock::time_point now = Clock::now();
        if (now < m_nextAttempt) {
            return Result::NoScreen;
        }
        m_nextAttempt = now + kReopenInterval;
        if (!Connect()) {
            return Result::NoScreen;
        }
    }
    FollowRootSize();
    const bool read = !m_bLost && ReadAndReduce(grid, columns, rows);
    if (m_bLost) {
        Disconnect();
        m_nextAttempt = Clock::now() + kReopenInterval;
        Absent("lost the X display \"" + DisplayName() + "\"; screen mode shows black keys until it is back");
        return Result::NoScreen;
    }
    return read ? Result::Sampled : Result::Failed;
}

void X11ScreenSampler::Absent(const std::string& message)
{
    if (m_presence != Presence::Absent) {
        LogWarning("screen colours: " + message);
    }
    m_presence = Presence::Absent;
}

bool X11ScreenSampler::Connect()
{
    const std::string name = DisplayName();
    if (name.empty()) {
        Absent("no X display (DISPLAY is not set); screen mode shows black keys");
        return false;
    }
    InstallErrorHandlers();
    m_display = XOpenDisplay(nullptr);
    if (m_display == nullptr) {
        Absent("cannot open the X display \"" + name + "\"; screen mode shows black keys until it answers");
        return false;
    }
    m_bLost = false;
    XSetIOErrorExitHandler(m_display, &X11ScreenSampler::OnConnectionLost, this);

    const int screen = DefaultScreen(m_display);
    m_root = RootWindow(m_display, screen);
    m_rootVisual = DefaultVisual(m_display, screen);
    m_rootDepth = DefaultDepth(m_display, screen);
    m_width = DisplayWidth(m_display, screen);
    m_height = DisplayHeight(m_display, screen);
    // Resizes of the root arrive as ConfigureNotify events.
    XSelectInput(m_display, m_root, StructureNotifyMask);
    m_bShm = XShmQueryExtension(m_display) == True;
    int eventBase = 0;
    int errorBase = 0;
    m_bRender = XRenderQueryExtension(m_display, &eventBase, &errorBase) == True;

    if (!Prepare()) {
        Disconnect();
        Absent("the X display \"" + name + "\" has a pixel format Tonvik cannot read; screen mode shows black keys");
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

void X11ScreenSampler::Disconnect()
{
    if (m_display == nullptr) {
        return;
    }
    // Closing the connection releases the server's pictures, pixmap and its
    // attachment of the segment.
    XCloseDisplay(m_display);
    m_display = nullptr;
    DropSharedImage();
    m_smallPixmap = 0;
    m_smallPicture = 0;
    m_rootPicture = 0;
}

bool X11ScreenSampler::Prepare()
{
    if (m_bRender) {
        return PrepareScaling();
    }
    // The whole root is read: its pixels must be 8-bit red, green and blue.
    if (m_rootVisual->red_mask != 0xFF0000 || m_rootVisual->green_mask != 0xFF00 || m_rootVisual->blue_mask != 0xFF) {
        return false;
    }
    DropSharedImage();
    if (m_bShm && !CreateSharedImage(m_width, m_height, m_rootDepth, m_rootVisual)) {
        m_bShm = false;
    }
    return m_shmImage == nullptr || ReadablePixels(*m_shmImage);
}

bool X11ScreenSampler::PrepareScaling()
{
    if (m_smallPicture == 0) {
        XRenderPictFormat* rootFormat = XRenderFindVisualFormat(m_display, m_rootVisual);
        XRenderPictFormat* smallFormat = XRenderFindStandardFormat(m_display, PictStandardRGB24);
        if (rootFormat == nullptr || smallFormat == nullptr) {
            return false;
        }
        XRenderPictureAttributes attributes{};
        attributes.subwindow_mode = IncludeInferiors;
        m_rootPicture = XRenderCreatePicture(m_display, m_root, rootFormat, CPSubwindowMode, &attributes);
        XRenderSetPictureFilter(m_display, m_rootPicture, FilterBilinear, nullptr, 0);
        m_smallPixmap = XCreatePixmap(m_display, m_root, kPictureWidth, kPictureHeight, 24);
        m_smallPicture = XRenderCreatePicture(m_display, m_smallPixmap, smallFormat, 0, nullptr);
        if (m_bShm && !CreateSharedImage(kPictureWidth, kPictureHeight, 24, nullptr)) {
            m_bShm = false;
        }
        if (m_shmImage != nullptr && !ReadablePixels(*m_shmImage)) {
            return false;
        }
    }
    // Destination pixel centres map onto the whole root.
    XTransform scale{};
    scale.matrix[0][0] = XDoubleToFixed(static_cast<double>(m_width) / kPictureWidth);
    scale.matrix[1][1] = XDoubleToFixed(static_cast<double>(m_height) / kPictureHeight);
    scale.matrix[2][2] = XDoubleToFixed(1.0);
    XRenderSetPictureTransform(m_display, m_rootPicture, &scale);
    return true;
}

bool X11ScreenSampler::CreateSharedImage(int width, int height, int depth, Visual* visual)
{
    XImage* image = XShmCreateImage(m_display, visual, static_cast<unsigned>(depth), ZPixmap, nullptr, &m_segment,
                                    static_cast<unsigned>(width), static_cast<unsigned>(height));
    if (image == nullptr) {
        return false;
    }
    m_segment.shmid = shmget(IPC_PRIVATE, static_cast<size_t>(image->bytes_per_line) * static_cast<size_t>(height),
                             IPC_CREAT | 0600);
    if (m_segment.shmid < 0) {
        XDestroyImage(image);
        return false;
    }
    void* address = shmat(m_segment.shmid, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
        shmctl(m_segment.shmid, IPC_RMID, nullptr);
        XDestroyImage(image);
        return false;
    }
    m_segment.shmaddr = image->data = static_cast<char*>(address);
    m_segment.readOnly = False;
    t_lastXError = 0;
    XShmAttach(m_display, &m_segment);
    XSync(m_display, False);
    // Marked for removal at once: it goes when both sides have let go, even
    // if this process or the server dies.
    shmctl(m_segment.shmid, IPC_RMID, nullptr);
    if (t_lastXError != 0 || m_bLost) {
        shmdt(address);
        image->data = nullptr;
        XDestroyImage(image);
        return false;
    }
    m_shmImage = image;
    return true;
}

void X11ScreenSampler::DropSharedImage()
{
    if (m_shmImage == nullptr) {
        return;
    }
    if (m_display != nullptr && !m_bLost) {
        XShmDetach(m_display, &m_segment);
    }
    shmdt(m_segment.shmaddr);
    m_shmImage->data = nullptr;
    XDestroyImage(m_shmImage);
    m_shmImage = nullptr;
}

void X11ScreenSampler::FollowRootSize()
{
    int width = m_width;
    int height = m_height;
    while (!m_bLost && XPending(m_display) > 0) {
        XEvent event;
        XNextEvent(m_display, &event);
        if (event.type == ConfigureNotify && event.xconfigure.window == m_root) {
            width = event.xconfigure.width;
            height = event.xconfigure.height;
        }
    }
    if (!m_bLost && (width != m_width || height != m_height)) {
        m_width = width;
        m_height = height;
        if (!Prepare()) {
            m_bLost = true;
        }
    }
}

bool X11ScreenSampler::ReadAndReduce(ScreenGrid& grid, int columns, int rows)
{
    Drawable source = m_root;
    int width = m_width;
    int height = m_height;
    if (m_bRender) {
        XRenderComposite(m_display, PictOpSrc, m_rootPicture, 0, m_smallPicture, 0, 0, 0, 0, 0, 0, kPictureWidth,
                         kPictureHeight);
        source = m_smallPixmap;
        width = kPictureWidth;
        height = kPictureHeight;
    }
    t_lastXError = 0;
    if (m_shmImage != nullptr) {
        if (!XShmGetImage(m_display, source, m_shmImage, 0, 0, AllPlanes) || t_lastXError != 0 || m_bLost) {
            return false;
        }
        m_reducer.Reduce(ViewOf(*m_shmImage), columns, rows, grid);
        return true;
    }
    const ImagePtr image(XGetImage(m_display, source, 0, 0, static_cast<unsigned>(width), static_cast<unsigned>(height),
                                   AllPlanes, ZPixmap));
    if (!image || t_lastXError != 0 || m_bLost || !ReadablePixels(*image)) {
        return false;
    }
    m_reducer.Reduce(ViewOf(*image), columns, rows, grid);
    return true;
}

}  // namespace

std::unique_ptr<ScreenSampler> OpenScreenSampler()
{
    return std::make_unique<X11ScreenSampler>();
}
