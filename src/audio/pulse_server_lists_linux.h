#pragma once

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

// An output device as the sound server lists it.
struct PulseSink {
    uint32_t index = PA_INVALID_INDEX;
    std::string name;         ///< the stable name an "output:" choice gives
    std::string description;  ///< what a person calls it
    std::string monitorSource;
};

// One application's playback stream.
struct PulseSinkInput {
    uint32_t index = PA_INVALID_INDEX;
    uint32_t sink = PA_INVALID_INDEX;
    std::string application;  ///< application.name, else the binary's name; empty when it has neither
    bool corked = false;
    uint64_t latencyUsec = 0;  ///< the node.latency it asked for (PipeWire lists it), 0 for none
};

// The server's sinks and sink inputs, read again whenever the server says one
// of them changed. It runs on the capture's event loop: Refresh and the
// replies on whichever thread runs the loop, with the capture's lock held,
// and the lists are read under the same lock.
class PulseServerLists {
public:
    // Called once a refresh has read both lists in full.
    explicit PulseServerLists(std::function<void()> changed) : m_changed(std::move(changed)) {}

    // Asks for both lists; one asked while another is on its way follows it,
    // so the lists end as the server has them after its last event.
    void Refresh(pa_context* context);
    // Forgets the lists and any refresh on its way (the connection is gone,
    // and its replies with it).
    void Reset();

    const std::vector<PulseSink>& Sinks() const { return m_sinks; }
    const std::vector<PulseSinkInput>& Inputs() const { return m_inputs; }
    const PulseSink* SinkNamed(const std::string& name) const;
    const PulseSink* SinkAt(uint32_t index) const;

private:
    static void OnSink(pa_context* context, const pa_sink_info* info, int eol, void* self);
    static void OnSinkInput(pa_context* context, const pa_sink_input_info* info, int eol, void* self);
    void Ask(pa_context* context);
    void ReplyEnded(pa_context* context);

    std::function<void()> m_changed;
    std::vector<PulseSink> m_sinks;
    std::vector<PulseSinkInput> m_inputs;
    std::vector<PulseSink> m_newSinks;
    std::vector<PulseSinkInput> m_newInputs;
    int m_repliesDue = 0;
    bool m_bAgain = false;  // an event came while a refresh was on its way
};
