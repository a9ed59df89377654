#include "api/connection.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace {

constexpr std::string_view kHeaderEnd = "\r\n\r\n";

}  // namespace

Connection::Connection(int64_t nowMs, ConnectionTimeouts timeouts) : m_timeouts(timeouts), m_openedMs(nowMs) {}

bool Connection::Idle() const
{
    return (m_phase == Phase::Reading && m_data.empty()) || m_phase == Phase::Lingering;
}

int64_t Connection::DeadlineMs() const
{
    switch (m_phase) {
    case Phase::Reading:
        if (m_data.empty()) {
            return m_openedMs + m_timeouts.idleMs;
        }
        return std::min(m_lastByteMs + m_timeouts.quietMs, m_firstByteMs + m_timeouts.totalMs);
    case Phase::Writing:
        return m_progressMs + m_timeouts.sendMs;
    case Phase::Lingering:
        return m_progressMs + m_timeouts.lingerMs;
    case Phase::Ready:
    case Phase::Closed:
        break;
    }
    return std::numeric_limits<int64_t>::max();
}

size_t Connection::ReceiveRoom(size_t buffer) const
{
    if (m_phase == Phase::Reading) {
        return std::min(buffer, kRequestCap - m_data.size());
    }
    return m_phase == Phase::Lingering ? buffer : 0;
}

void Connection::OnReceived(std::string_view bytes, int64_t nowMs)
{
    if (m_phase != Phase::Reading || bytes.empty()) {
        return;  // lingering: swallowed
    }
    bytes = bytes.substr(0, kRequestCap - m_data.size());
    // The header end may straddle the previous piece.
    const size_t searchFrom = m_data.size() >= kHeaderEnd.size() - 1 ? m_data.size() - (kHeaderEnd.size() - 1) : 0;
    if (m_data.empty()) {
        m_firstByteMs = nowMs;
    }
    m_data.append(bytes);
    m_lastByteMs = nowMs;
    if (m_data.size() >= kRequestCap || m_data.find(kHeaderEnd, searchFrom) != std::string::npos) {
        m_phase = Phase::Ready;
    }
}

void Connection::OnReceiveEnded()
{
    if (m_phase == Phase::Reading && !m_data.empty()) {
        m_phase = Phase::Ready;
    } else if (m_phase != Phase::Ready) {
        m_phase = Phase::Closed;
    }
}

void Connection::OnTime(int64_t nowMs)
{
    if (nowMs < DeadlineMs()) {
        return;
    }
    // Reading with data: a pause or the total time ends the request. Anything
    // else past its deadline has had its time.
    m_phase = m_phase == Phase::Reading && !m_data.empty() ? Phase::Ready : Phase::Closed;
}

std::string Connection::TakeRequest()
{
    if (m_phase != Phase::Ready) {
        return {};
    }
    std::string request;
    request.swap(m_data);
    if (const size_t nul = request.find('\0'); nul != std::string::npos) {
        request.resize(nul);
    }
    return request;
}

void Connection::SetReply(std::string reply, int64_t nowMs)
{
    if (m_phase != Phase::Ready) {
        return;
    }
    m_data = std::move(reply);
    m_sent = 0;
    m_progressMs = nowMs;
    m_phase = Phase::Writing;
}

std::string_view Connection::Unsent() const
{
    if (m_phase != Phase::Writing) {
        return {};
    }
    return std::string_view(m_data).substr(m_sent);
}

void Connection::OnSent(size_t count, int64_t nowMs)
{
    if (m_phase != Phase::Writing) {
        return;
    }
    if (count > 0) {
        m_sent = std::min(m_data.size(), m_sent + count);
        m_progressMs = nowMs;
    }
    if (m_sent == m_data.size()) {
        m_data.clear();
        m_data.shrink_to_fit();
        m_phase = Phase::Lingering;
    }
}
