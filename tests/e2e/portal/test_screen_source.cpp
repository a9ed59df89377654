// A PipeWire video source standing in for a desktop's screen: a "Video/Source"
// node that paints what a control file says ("solid RRGGBB" or
// "halves RRGGBB RRGGBB", left and right) as RGBx frames of 64 x 36 pixels in
// rows of 80 (the padding white, which must never count). Like a compositor,
// it sends frames only when the picture changes and for half a second after a
// consumer starts; a picture that stays the same sends nothing after that.
//
//   test_screen_source CONTROL-FILE NODE-ID-FILE
//
// Once its node exists, its id goes to NODE-ID-FILE (written whole, by rename).
// SIGTERM or SIGINT end it.
#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

constexpr int kWidth = 64;
constexpr int kHeight = 36;
constexpr int kStridePixels = 80;
constexpr int kStrideBytes = kStridePixels * 4;
constexpr int kTickMs = 33;
constexpr int kBurstTicks = 15;

struct Source {
    pw_main_loop* main = nullptr;
    pw_stream* stream = nullptr;
    spa_hook listener{};
    spa_source* timer = nullptr;
    std::string controlPath;
    std::string nodePath;
    std::string picture;  // the control file's text last painted
    int burst = 0;        // ticks left to send frames anyway
    bool nodeWritten = false;
};

uint32_t Rgbx(const std::string& hex)
{
    const unsigned long rgb = std::strtoul(hex.c_str(), nullptr, 16);
    // Bytes R, G, B, x in memory.
    return static_cast<uint32_t>((rgb >> 16 & 0xFF) | (rgb & 0xFF00) | (rgb & 0xFF) << 16);
}

void Paint(const std::string& picture, uint8_t* bytes)
{
    std::istringstream words(picture);
    std::string kind, left, right;
    words >> kind >> left >> right;
    const uint32_t a = Rgbx(left);
    const uint32_t b = kind == "halves" ? Rgbx(right) : a;
    for (int y = 0; y < kHeight; ++y) {
        auto* row = reinterpret_cast<uint32_t*>(bytes + y * kStrideBytes);
        for (int x = 0; x < kStridePixels; ++x) {
            row[x] = x >= kWidth ? 0xFFFFFFFFu : x < kWidth / 2 ? a : b;
        }
    }
}

std::string ReadControl(const std::string& path)
{
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

void WriteNodeId(Source& source)
{
    const uint32_t id = pw_stream_get_node_id(source.stream);
    if (source.nodeWritten || id == SPA_ID_INVALID) {
        return;
    }
    const std::string temporary = source.nodePath + ".new";
    std::ofstream(temporary) << id << "\n";
    std::rename(temporary.c_str(), source.nodePath.c_str());
    source.nodeWritten = true;
}

void OnProcess(void* data)
{
    auto& source = *static_cast<Source*>(data);
    pw_buffer* buffer = pw_stream_dequeue_buffer(source.stream);
    if (buffer == nullptr) {
        return;
    }
    spa_data& plane = buffer->buffer->datas[0];
    if (plane.data != nullptr && plane.maxsize >= static_cast<uint32_t>(kStrideBytes * kHeight)) {
        Paint(source.picture, static_cast<uint8_t*>(plane.data));
        plane.chunk->offset = 0;
        plane.chunk->size = kStrideBytes * kHeight;
        plane.chunk->stride = kStrideBytes;
    }
    pw_stream_queue_buffer(source.stream, buffer);
}

void OnTick(void* data, uint64_t)
{
    auto& source = *static_cast<Source*>(data);
    WriteNodeId(source);
    const std::string picture = ReadControl(source.controlPath);
    if (picture != source.picture) {
        source.picture = picture;
        source.burst = kBurstTicks;
    }
    if (source.burst > 0 && pw_stream_get_state(source.stream, nullptr) == PW_STREAM_STATE_STREAMING) {
        --source.burst;
        pw_stream_trigger_process(source.stream);
    }
}

void OnStateChanged(void* data, pw_stream_state, pw_stream_state state, const char*)
{
    auto& source = *static_cast<Source*>(data);
    WriteNodeId(source);
    if (state == PW_STREAM_STATE_STREAMING) {
        source.burst = kBurstTicks;
    }
}

void OnParamChanged(void* data, uint32_t id, const spa_pod* param)
{
    auto& source = *static_cast<Source*>(data);
    if (id != SPA_PARAM_Format || param == nullptr) {
        return;
    }
    uint8_t buffer[256];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* params[1];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1), SPA_PARAM_BUFFERS_size,
        SPA_POD_Int(kStrideBytes * kHeight), SPA_PARAM_BUFFERS_stride, SPA_POD_Int(kStrideBytes),
        SPA_PARAM_BUFFERS_dataType, SPA_POD_CHOICE_FLAGS_Int(1 << SPA_DATA_MemFd)));
    pw_stream_update_params(source.stream, params, 1);
}

void OnSignal(void* data, int)
{
    pw_main_loop_quit(static_cast<Source*>(data)->main);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s CONTROL-FILE NODE-ID-FILE\n", argv[0]);
        return 2;
    }
    pw_init(&argc, &argv);
    Source source;
    source.controlPath = argv[1];
    source.nodePath = argv[2];
    source.picture = ReadControl(source.controlPath);
    source.main = pw_main_loop_new(nullptr);
    pw_loop* loop = pw_main_loop_get_loop(source.main);
    pw_loop_add_signal(loop, SIGINT, OnSignal, &source);
    pw_loop_add_signal(loop, SIGTERM, OnSignal, &source);

    source.stream = pw_stream_new_simple(
        loop, "tonvik-test-screen",
        pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_NODE_NAME, "tonvik-test-screen",
                          PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Source", nullptr),
        [] {
            static pw_stream_events events{};
            events.version = PW_VERSION_STREAM_EVENTS;
            events.state_changed = OnStateChanged;
            events.param_changed = OnParamChanged;
            events.process = OnProcess;
            return &events;
        }(),
        &source);

    uint8_t buffer[512];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    spa_rectangle size{kWidth, kHeight};
    spa_fraction rate{30, 1};
    const spa_pod* params[1];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
        SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
        SPA_POD_Id(SPA_VIDEO_FORMAT_RGBx), SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size),
        SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate)));
    const auto flags =
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS);
    if (pw_stream_connect(source.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1) < 0) {
        std::fprintf(stderr, "test_screen_source: cannot connect the stream\n");
        return 1;
    }
    source.timer = pw_loop_add_timer(loop, OnTick, &source);
    timespec interval{0, kTickMs * 1000000L};
    pw_loop_update_timer(loop, source.timer, &interval, &interval, false);

    pw_main_loop_run(source.main);

    pw_stream_destroy(source.stream);
    pw_main_loop_destroy(source.main);
    pw_deinit();
    return 0;
}
