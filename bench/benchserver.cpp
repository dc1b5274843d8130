// Loopback HTTP/1.1 server for the benchmarks. Plain sockets and a thread per
// connection, so that it is never the bottleneck of what it measures.
//
//   GET  /blob/N   200, N bytes of a fixed pattern (Content-Length)
//   POST /sink     reads the body (Content-Length or chunked) and answers 200
//                  with a 16-byte body
// Keep-alive unless the client sends "Connection: close".
// Prints "ready PORT" on stdout once it listens; runs until killed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

const size_t kChunk = 1 << 20;
std::vector<char> g_pattern;

bool sendAll(int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w <= 0)
            return false;
        p += w;
        n -= size_t(w);
    }
    return true;
}

struct Conn
{
    int fd;
    std::string buf; // received, not yet consumed

    bool fill()
    {
        char tmp[256 * 1024];
        ssize_t r = ::recv(fd, tmp, sizeof tmp, 0);
        if (r <= 0)
            return false;
        buf.append(tmp, size_t(r));
        return true;
    }

    bool readLine(std::string &line)
    {
        for (;;) {
            size_t eol = buf.find("\r\n");
            if (eol != std::string::npos) {
                line = buf.substr(0, eol);
                buf.erase(0, eol + 2);
                return true;
            }
            if (buf.size() > 65536 || !fill())
                return false;
        }
    }

    // Reads and drops exactly n bytes.
    bool discard(unsigned long long n)
    {
        size_t take = size_t(std::min<unsigned long long>(n, buf.size()));
        buf.erase(0, take);
        n -= take;
        char tmp[256 * 1024];
        while (n > 0) {
            ssize_t r = ::recv(fd, tmp, size_t(std::min<unsigned long long>(n, sizeof tmp)), 0);
            if (r <= 0)
                return false;
            n -= (unsigned long long)r;
        }
        return true;
    }
};

bool iequalsPrefix(const std::string &line, const char *name)
{
    size_t n = std::strlen(name);
    return line.size() >= n && strncasecmp(line.c_str(), name, n) == 0;
}

void serve(int fd)
{
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Conn c { fd, {} };
    std::string line;
    while (c.readLine(line)) {
        if (line.empty())
            continue;
        std::string method = line.substr(0, line.find(' '));
        size_t s1 = line.find(' ');
        size_t s2 = line.find(' ', s1 + 1);
        std::string target = line.substr(s1 + 1, s2 - s1 - 1);
        size_t slash = target.find("://"); // absolute form through a proxy
        if (slash != std::string::npos)
            target = target.substr(target.find('/', slash + 3));
        unsigned long long length = 0;
        bool chunked = false, close = false, expectContinue = false;
        while (c.readLine(line) && !line.empty()) {
            if (iequalsPrefix(line, "content-length:"))
                length = std::strtoull(line.c_str() + 15, nullptr, 10);
            else if (iequalsPrefix(line, "transfer-encoding:") && line.find("chunked") != std::string::npos)
                chunked = true;
            else if (iequalsPrefix(line, "connection:") && line.find("close") != std::string::npos)
                close = true;
            else if (iequalsPrefix(line, "expect:") && line.find("100-continue") != std::string::npos)
                expectContinue = true;
        }
        if (expectContinue) {
            static const char cont[] = "HTTP/1.1 100 Continue\r\n\r\n";
            if (!sendAll(fd, cont, sizeof cont - 1))
                break;
        }
        if (chunked) {
            for (;;) {
                if (!c.readLine(line))
                    goto done;
                unsigned long long n = std::strtoull(line.c_str(), nullptr, 16);
                if (n == 0) {
                    while (c.readLine(line) && !line.empty()) { }
                    break;
                }
                if (!c.discard(n) || !c.readLine(line))
                    goto done;
            }
        } else if (!c.discard(length)) {
            break;
        }

        if (method == "GET" && target.rfind("/blob/", 0) == 0) {
            unsigned long long n = std::strtoull(target.c_str() + 6, nullptr, 10);
            char head[256];
            int h = std::snprintf(head, sizeof head,
                "HTTP/1.1 200 OK\r\nContent-Type: application/vnd.wap.mms-message\r\n"
                "Content-Length: %llu\r\n\r\n",
                n);
            if (!sendAll(fd, head, size_t(h)))
                break;
            while (n > 0) {
                size_t k = size_t(std::min<unsigned long long>(n, kChunk));
                if (!sendAll(fd, g_pattern.data(), k))
                    goto done;
                n -= k;
            }
        } else if (method == "POST") {
            static const char ok[] = "HTTP/1.1 200 OK\r\nContent-Type: application/vnd.wap.mms-message\r\n"
                                     "Content-Length: 16\r\n\r\n0123456789abcdef";
            if (!sendAll(fd, ok, sizeof ok - 1))
                break;
        } else {
            static const char nf[] = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
            if (!sendAll(fd, nf, sizeof nf - 1))
                break;
        }
        if (close)
            break;
    }
done:
    ::close(fd);
}

} // namespace

int main(int argc, char **argv)
{
    int port = argc > 1 ? std::atoi(argv[1]) : 0;
    g_pattern.resize(kChunk);
    for (size_t i = 0; i < kChunk; ++i)
        g_pattern[i] = char((i * 131 + 7) & 0xff);

    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(s, 128) != 0) {
        std::perror("benchserver");
        return 1;
    }
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
    std::printf("ready %d\n", ntohs(a.sin_port));
    std::fflush(stdout);
    for (;;) {
        int fd = ::accept(s, nullptr, nullptr);
        if (fd < 0)
            continue;
        std::thread(serve, fd).detach();
    }
}
