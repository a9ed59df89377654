#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "audio/capture_source.h"

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
struct RecordingState {
    bool connected = false;
    std::string description;
};

// Told by a backend that listens for sound while the analysis waits for it.
class SoundListener {
public:
    // Whether a packet (as OnPacket takes it) holds a sample the analysis
    // would hear; on the backend's thread.
    virtual bool Audible(const float* data, size_t floats, uint32_t frames) const = 0;
    // The first audible packet came (it waits for the next Drain); on the
    // backend's thread, with none of the backend's locks held.
    virtual void OnSoundReturns() = 0;

protected:
    ~SoundListener() = default;
};

// Loopback capture of what the computer plays, from the default playback
// device unless another source is chosen; follows changes of that device and
// survives the sound service going away. Without a stream, Drain returns at
// once.
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
    virtual RecordingState Recorded() = 0;

    // The choice of what to record and how late, where the capture offers
    // one; null where it does not (it records the default device, undelayed).
    virtual CaptureSourceChoice* SourceChoice() { return nullptr; }

    // While the picture has settled in silence the analysis drains nothing
    // and waits: the backend listens for sound itself, waking as seldom as
    // the sound service allows, and tells the listener of the first audible
    // packet, once. False when this backend cannot listen, or not yet (it
    // still holds back sound the analysis has to hear): the analysis then
    // goes on draining every frame. From the analysis' thread; the listener
    // outlives the backend.
    virtual bool AwaitSound(SoundListener& listener)
    {
        (void)listener;
        return false;
    }
    // Ends AwaitSound before the analysis drains again; nothing when not awaiting.
    virtual void StopAwaitingSound() {}
};

// The platform's loopback capture, already started. Its destructor stops
// every thread and callback it owns.
std::unique_ptr<CaptureBackend> OpenLoopbackCapture();

// Opens the capture the analysis drains: OpenLoopbackCapture in the daemon, a
// scripted one in tests. A null result means no capture (silence).
using CaptureFactory = std::function<std::unique_ptr<CaptureBackend>()>;
