// The HTTP client over a plain loopback socket. The host polls the daemon
// several times a second all day, and the daemon closes every connection after
// its reply, so each poll is a new connection: what a general client adds to
// that (option set-up, URL parsing, waits for the closing FIN) cost more than
// the poll itself. This one sends one request, reads until the reply's
// Content-Length is in (or the peer closes), and is done: one wake-up for the
// reply. Whatever answers on the port is read within the time-out and the
// size bound, and anything that is not a complete HTTP reply is no reply.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <string_view>

#include "http_client.h"

namespace {

using Clock = std::chrono::steady_clock;

class Descriptor {
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int Get() const { return m_fd; }

private:
    int m_fd;
};

// Waits for the socket until the deadline; false at the deadline or on an error.
bool WaitFor(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            return false;
        }
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(left));
        if (ready > 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
}

bool SameLetters(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// A header's value in the head (status line excluded), blanks trimmed; empty when absent.
std::string_view HeaderValue(std::string_view head, std::string_view name)
{
    size_t line = head.find("\r\n");
    while (line != std::string_view::npos && line + 2 < head.size()) {
        const size_t start = line + 2;
        const size_t end = std::min(head.find("\r\n", start), head.size());
        const std::string_view text = head.substr(start, end - start);
        const size_t colon = text.find(':');
        if (colon != std::string_view::npos && SameLetters(text.substr(0, colon), name)) {
            std::string_view value = text.substr(colon + 1);
            while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
                value.remove_prefix(1);
            }
            while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) {
                value.remove_suffix(1);
            }
            return value;
        }
        line = end < head.size() ? end : std::string_view::npos;
    }
    return {};
}

// What has come so far, once the head is complete: the status, the content
// type and, when the head gives one, the body's length.
struct Head {
    size_t bodyStart = 0;
    long status = 0;
    std::string contentType;
    bool lengthKnown = false;
    size_t length = 0;
};

bool ParseHead(std::string_view received, Head& head)
{
    const size_t end = received.find("\r\n\r\n");
    if (end == std::string_view::npos) {
        return false;
    }
    const std::string_view text = received.substr(0, end);
    head.bodyStart = end + 4;
    // "HTTP/1.x NNN ..."
    if (text.size() < 12 || !text.starts_with("HTTP/1.") || text[8] != ' ') {
        head.status = -1;
        return true;
    }
    std::from_chars(text.data() + 9, text.data() + 12, head.status);
    head.contentType = std::string(HeaderValue(text, "Content-Type"));
    const std::string_view length = HeaderValue(text, "Content-Length");
    if (!length.empty()) {
        const auto [stop, error] = std::from_chars(length.data(), length.data() + length.size(), head.length);
        head.lengthKnown = error == std::errc() && stop == length.data() + length.size();
        if (!head.lengthKnown) {
            head.status = -1;
        }
    }
    return true;
}

class SocketHttpClient : public HttpClient {
public:
    std::optional<HttpReply> Get(uint16_t port, const std::string& target, int timeoutMs) override
    {
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        const Descriptor socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (socket.Get() < 0) {
            return std::nullopt;
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            int error = 0;
            socklen_t size = sizeof error;
            if (errno != EINPROGRESS || !WaitFor(socket.Get(), POLLOUT, deadline) ||
                ::getsockopt(socket.Get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
                return std::nullopt;
            }
        }
        const std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                    "\r\nConnection: close\r\n\r\n";
        for (size_t sent = 0; sent < request.size();) {
            const ssize_t n = ::send(socket.Get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
            if (n > 0) {
                sent += static_cast<size_t>(n);
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                return std::nullopt;
            } else if (!WaitFor(socket.Get(), POLLOUT, deadline)) {
                return std::nullopt;
            }
        }
        return ReadReply(socket.Get(), deadline);
    }

private:
    std::optional<HttpReply> ReadReply(int fd, Clock::time_point deadline)
    {
        m_received.clear();
        Head head;
        bool headDone = false;
        char buffer[16384];
        for (;;) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n > 0) {
                m_received.append(buffer, static_cast<size_t>(n));
                if (m_received.size() > kMaxReplyBytes + kMaxHeadBytes) {
                    return std::nullopt;
                }
            } else if (n == 0) {
                break;  // the daemon closes once its reply is out
            } else if (errno == EINTR) {
                continue;
            } else if (errno != EAGAIN || !WaitFor(fd, POLLIN, deadline)) {
                return std::nullopt;
            }
            if (!headDone) {
                headDone = ParseHead(m_received, head);
                if (!headDone && m_received.size() > kMaxHeadBytes) {
                    return std::nullopt;
                }
            }
            if (headDone && (head.status < 0 || (head.lengthKnown && head.length > kMaxReplyBytes))) {
                return std::nullopt;
            }
            if (headDone && head.lengthKnown && m_received.size() - head.bodyStart >= head.length) {
                break;
            }
        }
        if (!headDone && !ParseHead(m_received, head)) {
            return std::nullopt;
        }
        const size_t bodyBytes = m_received.size() - head.bodyStart;
        if (head.status < 0 || (head.lengthKnown && bodyBytes < head.length) || bodyBytes > kMaxReplyBytes) {
            return std::nullopt;  // cut short, or not HTTP
        }
        HttpReply reply;
        reply.status = head.status;
        reply.contentType = std::move(head.contentType);
        reply.body = m_received.substr(head.bodyStart, head.lengthKnown ? head.length : bodyBytes);
        return reply;
    }

    // A reply's status line and headers: the daemon's are a few hundred bytes.
    static constexpr size_t kMaxHeadBytes = 16384;
    std::string m_received;  // its storage kept from request to request
};

}  // namespace

std::unique_ptr<HttpClient> OpenHttpClient()
{
    return std::make_unique<SocketHttpClient>();
}
