// The screen's PipeWire video stream (libpipewire-0.3), consumed on the
// sampler thread: the stream's loop is ours and is run without waiting from
// Process, so its callbacks (format, state, frames) all come on that thread.
// Buffers are offered as plain shared memory only (MemFd, MemPtr), mapped by
// the library; DMA-BUF is never offered, so no GPU import is needed.
//
// Threads: everything here runs on the sampler thread; no lock. The library's
// own data thread hands frames over to our loop by itself.
#include "screen/screen_stream.h"

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <optional>

#include "screen/grid_reducer.h"
#include "screen/video_frame.h"

namespace {

// Enough for the loop's pending work and a frame or two, without letting a
// busy stream hold the sampler thread.
constexpr int kMostIterations = 16;

// PipeWire's process-wide set-up, done once and kept for the process.
void InitPipeWire()
{
    static std::once_flag once;
    std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

std::optional<VideoFormat> FormatOf(uint32_t format)
{
    switch (format) {
    case SPA_VIDEO_FORMAT_BGRx: return VideoFormat::Bgrx;
    case SPA_VIDEO_FORMAT_BGRA: return VideoFormat::Bgra;
    case SPA_VIDEO_FORMAT_RGBx: return VideoFormat::Rgbx;
    case SPA_VIDEO_FORMAT_RGBA: return VideoFormat::Rgba;
    default: return std::nullopt;
    }
}

const char* NameOf(VideoFormat format)
{
    switch (format) {
    case VideoFormat::Bgrx: return "BGRx";
    case VideoFormat::Bgra: return "BGRA";
    case VideoFormat::Rgbx: return "RGBx";
    case VideoFormat::Rgba: return "RGBA";
    }
    return "";
}

}  // namespace

struct ScreenStream::Consumer {
    uint32_t node;
    pw_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_registry* registry = nullptr;
    pw_stream* stream = nullptr;
    spa_hook coreListener{};
    spa_hook registryListener{};
    spa_hook streamListener{};
    bool broken = false;
    std::string failure;
    std::optional<VideoFormat> format;
    int width = 0;
    int height = 0;
    // Where Process wants the frame; set only while it runs the loop.
    ScreenGrid* grid = nullptr;
    int columns = 0;
    int rows = 0;
    bool reduced = false;
    GridReducer reducer;

    Consumer(int remote, uint32_t target) : node(target)
    {
        InitPipeWire();
        loop = pw_loop_new(nullptr);
        if (loop == nullptr) {
            ::close(remote);
            Break("PipeWire: no loop");
            return;
        }
        pw_loop_enter(loop);
        context = pw_context_new(loop, nullptr, 0);
        if (context == nullptr) {
            ::close(remote);
            Break("PipeWire: no context");
            return;
        }
        core = pw_context_connect_fd(context, remote, nullptr, 0);
        if (core == nullptr) {
            Break("cannot reach PipeWire through the portal's connection");
            return;
        }
        pw_core_add_listener(core, &coreListener, &CoreEvents(), this);
        // The node's removal says that the screen's producer went away.
        registry = pw_core_get_registry(core, PW_VERSION_REGISTRY, 0);
        pw_registry_add_listener(registry, &registryListener, &RegistryEvents(), this);
        stream = pw_stream_new(core, "tonvik-screen",
                               pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                 PW_KEY_MEDIA_ROLE, "Screen", nullptr));
        if (stream == nullptr) {
            Break("PipeWire: no stream");
            return;
        }
        pw_stream_add_listener(stream, &streamListener, &StreamEvents(), this);
        Connect();
    }

    ~Consumer()
    {
        if (stream != nullptr) {
            spa_hook_remove(&streamListener);
            pw_stream_destroy(stream);
        }
        if (registry != nullptr) {
            spa_hook_remove(&registryListener);
            pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
        }
        if (core != nullptr) {
            spa_hook_remove(&coreListener);
            pw_core_disconnect(core);
        }
        if (context != nullptr) {
            pw_context_destroy(context);
        }
        if (loop != nullptr) {
            pw_loop_leave(loop);
            pw_loop_destroy(loop);
        }
    }

    void Break(const std::string& why)
    {
        if (!broken) {
            broken = true;
            failure = why;
        }
    }

    void Connect()
    {
        uint8_t buffer[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        spa_rectangle size{1920, 1080};
        spa_rectangle smallest{1, 1};
        spa_rectangle largest{16384, 16384};
        spa_fraction rate{30, 1};
        spa_fraction slowest{0, 1};
        spa_fraction fastest{30, 1};
        const spa_pod* params[1];
        params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
            SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
            SPA_FORMAT_VIDEO_format,
            SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA,
                                   SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA),
            SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&size, &smallest, &largest),
            SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&rate, &slowest, &fastest)));
        const auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS);
        if (pw_stream_connect(stream, PW_DIRECTION_INPUT, node, flags, params, 1) < 0) {
            Break("cannot connect to the screen's stream");
        }
    }

    void FormatChosen(const spa_pod* param)
    {
        uint32_t mediaType = 0;
        uint32_t mediaSubtype = 0;
        spa_video_info_raw info{};
        format.reset();
        if (param == nullptr || spa_format_parse(param, &mediaType, &mediaSubtype) < 0 ||
            mediaType != SPA_MEDIA_TYPE_video || mediaSubtype != SPA_MEDIA_SUBTYPE_raw ||
            spa_format_video_raw_parse(param, &info) < 0) {
            return;
        }
        format = FormatOf(info.format);
        width = static_cast<int>(info.size.width);
        height = static_cast<int>(info.size.height);

        uint8_t buffer[256];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        const spa_pod* params[1];
        params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
            SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1), SPA_PARAM_BUFFERS_dataType,
            SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
        pw_stream_update_params(stream, params, 1);
    }

    // The newest waiting buffer is read; the older ones and then it go back
    // to the producer at once.
    void TakeNewest()
    {
        pw_buffer* newest = nullptr;
        while (pw_buffer* next = pw_stream_dequeue_buffer(stream)) {
            if (newest != nullptr) {
                pw_stream_queue_buffer(stream, newest);
            }
            newest = next;
        }
        if (newest == nullptr) {
            return;
        }
        const spa_buffer* buffer = newest->buffer;
        if (grid != nullptr && format && buffer->n_datas > 0) {
            const spa_data& data = buffer->datas[0];
            // A chunk without bytes carries only metadata (a cursor move).
            if (data.data != nullptr && data.chunk != nullptr && data.chunk->size > 0 && data.maxsize > 0 &&
                (data.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) == 0) {
                const uint32_t offset = data.chunk->offset % data.maxsize;
                const VideoFrame frame{static_cast<const uint8_t*>(data.data) + offset,
                                       std::min(data.chunk->size, data.maxsize - offset), width, height,
                                       data.chunk->stride > 0 ? static_cast<size_t>(data.chunk->stride)
                                                              : static_cast<size_t>(width) * 4,
                                       *format};
                if (const std::optional<PictureView> picture = PictureOf(frame)) {
                    reducer.Reduce(*picture, columns, rows, *grid);
                    reduced = true;
                }
            }
        }
        pw_stream_queue_buffer(stream, newest);
    }

    static const pw_core_events& CoreEvents()
    {
        static const pw_core_events events = [] {
            pw_core_events e{};
            e.version = PW_VERSION_CORE_EVENTS;
            e.error = [](void* self, uint32_t id, int, int, const char* message) {
                if (id == PW_ID_CORE) {
                    static_cast<Consumer*>(self)->Break(std::string("PipeWire: ") + message);
                }
            };
            return e;
        }();
        return events;
    }

    static const pw_registry_events& RegistryEvents()
    {
        static const pw_registry_events events = [] {
            pw_registry_events e{};
            e.version = PW_VERSION_REGISTRY_EVENTS;
            e.global_remove = [](void* self, uint32_t id) {
                auto& consumer = *static_cast<Consumer*>(self);
                if (id == consumer.node) {
                    consumer.Break("the screen's stream went away");
                }
            };
            return e;
        }();
        return events;
    }

    static const pw_stream_events& StreamEvents()
    {
        static const pw_stream_events events = [] {
            pw_stream_events e{};
            e.version = PW_VERSION_STREAM_EVENTS;
            e.state_changed = [](void* self, pw_stream_state old, pw_stream_state state, const char* error) {
                auto& consumer = *static_cast<Consumer*>(self);
                if (state == PW_STREAM_STATE_ERROR) {
                    consumer.Break(std::string("the screen's stream failed: ") + (error != nullptr ? error : ""));
                } else if (state == PW_STREAM_STATE_UNCONNECTED && old != PW_STREAM_STATE_UNCONNECTED) {
                    consumer.Break("the screen's stream was disconnected");
                }
            };
            e.param_changed = [](void* self, uint32_t id, const spa_pod* param) {
                if (id == SPA_PARAM_Format) {
                    static_cast<Consumer*>(self)->FormatChosen(param);
                }
            };
            e.process = [](void* self) { static_cast<Consumer*>(self)->TakeNewest(); };
            return e;
        }();
        return events;
    }
};

ScreenStream::ScreenStream(int remote, uint32_t node) : m_consumer(std::make_unique<Consumer>(remote, node)) {}

ScreenStream::~ScreenStream() = default;

ScreenStream::Status ScreenStream::Process(ScreenGrid& grid, int columns, int rows)
{
    Consumer& consumer = *m_consumer;
    if (consumer.loop != nullptr && !consumer.broken) {
        consumer.grid = &grid;
        consumer.columns = columns;
        consumer.rows = rows;
        consumer.reduced = false;
        for (int i = 0; i < kMostIterations && pw_loop_iterate(consumer.loop, 0) > 0; ++i) {
        }
        consumer.grid = nullptr;
    }
    if (consumer.broken) {
        return Status::Broken;
    }
    return consumer.reduced ? Status::Frame : Status::Waiting;
}

const std::string& ScreenStream::Failure() const
{
    return m_consumer->failure;
}

std::string ScreenStream::Format() const
{
    const Consumer& consumer = *m_consumer;
    return consumer.format ? std::to_string(consumer.width) + " x " + std::to_string(consumer.height) + " " +
                                 NameOf(*consumer.format)
                           : std::string();
}
