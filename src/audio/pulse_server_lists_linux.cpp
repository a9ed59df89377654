#include "audio/pulse_server_lists_linux.h"

#include <algorithm>
#include <cstdio>

namespace {

std::string ApplicationName(pa_proplist* properties)
{
    for (const char* key : {PA_PROP_APPLICATION_NAME, PA_PROP_APPLICATION_PROCESS_BINARY}) {
        if (const char* value = pa_proplist_gets(properties, key); value != nullptr && *value != '\0') {
            return value;
        }
    }
    return {};
}

// A node.latency property ("1440/48000") in microseconds; 0 when there is none.
uint64_t NodeLatencyUsec(const pa_proplist* properties)
{
    const char* text = properties != nullptr ? pa_proplist_gets(properties, "node.latency") : nullptr;
    unsigned long frames = 0;
    unsigned long rate = 0;
    if (text == nullptr || std::sscanf(text, "%lu/%lu", &frames, &rate) != 2 || rate == 0 || frames > rate * 10) {
        return 0;
    }
    return static_cast<uint64_t>(frames) * PA_USEC_PER_SEC / rate;
}

}  // namespace

void PulseServerLists::Refresh(pa_context* context)
{
    if (m_repliesDue > 0) {
        m_bAgain = true;
        return;
    }
    Ask(context);
}

void PulseServerLists::Reset()
{
    m_sinks.clear();
    m_inputs.clear();
    m_newSinks.clear();
    m_newInputs.clear();
    m_repliesDue = 0;
    m_bAgain = false;
}

const PulseSink* PulseServerLists::SinkNamed(const std::string& name) const
{
    const auto found = std::find_if(m_sinks.begin(), m_sinks.end(), [&](const auto& sink) { return sink.name == name; });
    return found == m_sinks.end() ? nullptr : &*found;
}

const PulseSink* PulseServerLists::SinkAt(uint32_t index) const
{
    const auto found =
        std::find_if(m_sinks.begin(), m_sinks.end(), [&](const auto& sink) { return sink.index == index; });
    return found == m_sinks.end() ? nullptr : &*found;
}

void PulseServerLists::Ask(pa_context* context)
{
    m_newSinks.clear();
    m_newInputs.clear();
    m_bAgain = false;
    if (pa_operation* op = pa_context_get_sink_info_list(context, &OnSink, this)) {
        pa_operation_unref(op);
        ++m_repliesDue;
    }
    if (pa_operation* op = pa_context_get_sink_input_info_list(context, &OnSinkInput, this)) {
        pa_operation_unref(op);
        ++m_repliesDue;
    }
}

void PulseServerLists::OnSink(pa_context* context, const pa_sink_info* info, int eol, void* self)
{
    auto* lists = static_cast<PulseServerLists*>(self);
    if (eol != 0 || info == nullptr) {
        lists->ReplyEnded(context);
        return;
    }
    lists->m_newSinks.push_back({info->index, info->name != nullptr ? info->name : "",
                                 info->description != nullptr ? info->description : "",
                                 info->monitor_source_name != nullptr ? info->monitor_source_name : ""});
}

// A stream with no name to match it by is listed too: it is still a player
// that feeds its sink.
void PulseServerLists::OnSinkInput(pa_context* context, const pa_sink_input_info* info, int eol, void* self)
{
    auto* lists = static_cast<PulseServerLists*>(self);
    if (eol != 0 || info == nullptr) {
        lists->ReplyEnded(context);
        return;
    }
    lists->m_newInputs.push_back({info->index, info->sink, ApplicationName(info->proplist), info->corked != 0,
                                  NodeLatencyUsec(info->proplist)});
}

// A failed reply (eol < 0) still ends its list: what came is what there is.
void PulseServerLists::ReplyEnded(pa_context* context)
{
    if (m_repliesDue == 0 || --m_repliesDue > 0) {
        return;
    }
    m_sinks.swap(m_newSinks);
    m_inputs.swap(m_newInputs);
    if (m_bAgain) {
        Ask(context);
    }
    m_changed();
}
