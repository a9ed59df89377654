#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// Receives captured packets on the thread that drains the backend.
class CapturePacketSink {
public:
    // One packet of interleaved 32-bit float frames: `floats` values in all,
    // `frames` frames of the stream's channel count.
    virtual void OnPacket(const float* data, size_t floats, uint32_t frames) = 0;

protected:
    ~CapturePacketSink() = default;
};

// What a capture records: whether a stream is open, and the name a person
// knows its device by (the sink's or the endpoint's description; empty while
// none is known).
struct CaptureSource {
    bool connected = false;
    std::string description;
};

// Loopback capture of what the computer plays, from the default playback
// device; follows changes of that device and survives the sound service
// going away. Without a stream, Drain returns at once.
class CaptureBackend {
public:
    virtual ~CaptureBackend() = default;

    // Hands every waiting packet to the sink, on the calling thread, without
    // waiting for more. False when no stream is open.
    virtual bool Drain(CapturePacketSink& sink) = 0;

    // Pauses the stream (true) without closing it, or lets it run again
    // (false); from any thread, returning without waiting for the sound
    // service. A stream opened while paused (a new default device, the
    // service back) opens paused. The device choice and recovery go on.
    virtual void SetPaused(bool paused) = 0;

    // What is being recorded now; from any thread, without waiting for the
    // sound service.
    virtual CaptureSource Source() = 0;
};

// The platform's loopback capture, already started. Its destructor stops
// every thread and callback it owns.
std::unique_ptr<CaptureBackend> OpenLoopbackCapture();

// Opens the capture the analysis drains: OpenLoopbackCapture in the daemon, a
// scripted one in tests. A null result means no capture (silence).
using CaptureFactory = std::function<std::unique_ptr<CaptureBackend>()>;
