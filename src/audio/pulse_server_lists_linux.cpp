#include "audio/pulse_server_lists_linux.h"

#include <algorithm>

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

// A stream with no name to match it by cannot be chosen, so it is not listed.
void PulseServerLists::OnSinkInput(pa_context* context, const pa_sink_input_info* info, int eol, void* self)
{
    auto* lists = static_cast<PulseServerLists*>(self);
    if (eol != 0 || info == nullptr) {
        lists->ReplyEnded(context);
        return;
    }
    std::string application = ApplicationName(info->proplist);
    if (!application.empty()) {
        lists->m_newInputs.push_back({info->index, info->sink, std::move(application), info->corked != 0});
    }
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
