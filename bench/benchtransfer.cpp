// benchtransfer: one measured transfer run, driven by benchrun.
//
//   benchtransfer get  VARIANT URL DEST [COUNT]
//   benchtransfer post VARIANT URL FILE [COUNT]
//
// VARIANT: socket (MmsReceiver / MmsSender), nm (MmsReceiverNM / MmsSenderNM)
// or raw (a plain blocking socket: the loopback ceiling). DEST is "null"
// (/dev/null) or a file path. COUNT transfers (default 1) run one after
// another on one receiver or sender, so keep-alive counts.
//
// Prints "SECONDS BYTES" on success: the time from starting the first
// transfer to the completion of the last, and the body bytes moved. Exits
// non-zero when a transfer fails or moves the wrong number of bytes.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QScopedPointer>
#include <QUrl>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "mmsreceiver.h"
#include "mmsreceivernm.h"
#include "mmssender.h"
#include "mmssendernm.h"

namespace {

int fail(const char *what)
{
    std::fprintf(stderr, "benchtransfer: %s\n", what);
    return 1;
}

// /dev/null as a device that counts what it is given: QFile treats a
// character device as sequential and keeps no position. Each write is a
// write(2), as curl's -o /dev/null makes.
class NullDevice : public QIODevice
{
public:
    NullDevice() { m_fd = ::open("/dev/null", O_WRONLY); }
    ~NullDevice() override { ::close(m_fd); }
    bool isSequential() const override { return true; }
    qint64 written() const { return m_written; }

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 size) override
    {
        const ssize_t n = ::write(m_fd, data, size_t(size));
        if (n > 0)
            m_written += n;
        return n;
    }

private:
    int m_fd;
    qint64 m_written = 0;
};

QIODevice *openDest(const QString &dest)
{
    if (dest == QLatin1String("null")) {
        NullDevice *null = new NullDevice;
        null->open(QIODevice::WriteOnly | QIODevice::Unbuffered);
        return null;
    }
    QFile *file = new QFile(dest);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        delete file;
        return nullptr;
    }
    return file;
}

qint64 bytesWritten(QIODevice *device)
{
    if (NullDevice *null = dynamic_cast<NullDevice *>(device))
        return null->written();
    return device->pos();
}

// ---- plain sockets: what the loopback and the kernel allow ----------------

int rawConnect(const QUrl &url)
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(quint16(url.port(80)));
    ::inet_pton(AF_INET, url.host().toLatin1().constData(), &a.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

bool sendAll(int fd, const char *p, size_t n)
{
    while (n > 0) {
        const ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w <= 0)
            return false;
        p += w;
        n -= size_t(w);
    }
    return true;
}

// Reads one response; body bytes go to out (-1: dropped). Returns the body
// length or -1.
long long rawResponse(int fd, std::vector<char> &buf, int out)
{
    std::string head;
    size_t end;
    ssize_t r = 0;
    while ((end = head.find("\r\n\r\n")) == std::string::npos) {
        r = ::recv(fd, buf.data(), buf.size(), 0);
        if (r <= 0)
            return -1;
        head.append(buf.data(), size_t(r));
    }
    if (head.compare(0, 12, "HTTP/1.1 200") != 0)
        return -1;
    const size_t cl = head.find("Content-Length: ");
    if (cl == std::string::npos)
        return -1;
    const long long length = std::atoll(head.c_str() + cl + 16);
    long long got = (long long)(head.size() - end - 4);
    if (out >= 0 && got > 0 && ::write(out, head.data() + end + 4, size_t(got)) != got)
        return -1;
    while (got < length) {
        r = ::recv(fd, buf.data(), size_t(std::min<long long>(length - got, (long long)buf.size())), 0);
        if (r <= 0)
            return -1;
        if (out >= 0 && ::write(out, buf.data(), size_t(r)) != r)
            return -1;
        got += r;
    }
    return length;
}

int rawGet(const QUrl &url, const QString &dest, int count, double *seconds, long long *bytes)
{
    const QByteArray path = dest == QLatin1String("null") ? QByteArray("/dev/null") : dest.toLocal8Bit();
    const int out = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0)
        return fail("cannot open the destination");
    std::vector<char> buf(256 * 1024);
    const QByteArray req
        = "GET " + url.path().toLatin1() + " HTTP/1.1\r\nHost: " + url.host().toLatin1() + "\r\n\r\n";
    QElapsedTimer t;
    t.start();
    const int fd = rawConnect(url);
    if (fd < 0)
        return fail("cannot connect");
    for (int i = 0; i < count; ++i) {
        if (!sendAll(fd, req.constData(), size_t(req.size())))
            return fail("send failed");
        const long long n = rawResponse(fd, buf, out);
        if (n < 0)
            return fail("bad response");
        *bytes += n;
    }
    *seconds = t.nsecsElapsed() / 1e9;
    ::close(fd);
    ::close(out);
    return 0;
}

int rawPost(const QUrl &url, const QString &file, int count, double *seconds, long long *bytes)
{
    const int in = ::open(file.toLocal8Bit().constData(), O_RDONLY);
    if (in < 0)
        return fail("cannot open the PDU");
    const off_t size = ::lseek(in, 0, SEEK_END);
    std::vector<char> buf(256 * 1024);
    const QByteArray req = "POST " + url.path().toLatin1() + " HTTP/1.1\r\nHost: " + url.host().toLatin1()
        + "\r\nContent-Type: application/vnd.wap.mms-message\r\nContent-Length: "
        + QByteArray::number(qint64(size)) + "\r\n\r\n";
    QElapsedTimer t;
    t.start();
    const int fd = rawConnect(url);
    if (fd < 0)
        return fail("cannot connect");
    for (int i = 0; i < count; ++i) {
        if (!sendAll(fd, req.constData(), size_t(req.size())))
            return fail("send failed");
        ::lseek(in, 0, SEEK_SET);
        ssize_t r;
        while ((r = ::read(in, buf.data(), buf.size())) > 0)
            if (!sendAll(fd, buf.data(), size_t(r)))
                return fail("send failed");
        if (rawResponse(fd, buf, -1) < 0)
            return fail("bad response");
        *bytes += size;
    }
    *seconds = t.nsecsElapsed() / 1e9;
    ::close(fd);
    ::close(in);
    return 0;
}

// ---- the library ------------------------------------------------------------

int libGet(bool nm, const QString &url, const QString &dest, int count, double *seconds, long long *bytes)
{
    QScopedPointer<QIODevice> out(openDest(dest));
    if (!out)
        return fail("cannot open the destination");
    MmsReceiverBase *receiver = nm ? static_cast<MmsReceiverBase *>(new MmsReceiverNM)
                                   : static_cast<MmsReceiverBase *>(new MmsReceiver);
    int code = -1;
    QEventLoop loop;
    QObject::connect(receiver, &MmsReceiverBase::downloadCompleted, &loop, [&](int c) {
        code = c;
        loop.quit();
    });
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < count; ++i) {
        code = -1;
        receiver->downloadMms(url, out.data());
        loop.exec();
        if (code != 200) {
            std::fprintf(stderr, "benchtransfer: download %d ended with %d\n", i, code);
            return 1;
        }
    }
    *seconds = t.nsecsElapsed() / 1e9;
    *bytes = bytesWritten(out.data());
    delete receiver;
    return 0;
}

int libPost(bool nm, const QString &url, const QString &file, int count, double *seconds, long long *bytes)
{
    QFile pdu(file);
    if (!pdu.open(QIODevice::ReadOnly))
        return fail("cannot open the PDU");
    const QUrl u(url);
    MmsSenderBase *sender
        = nm ? static_cast<MmsSenderBase *>(new MmsSenderNM) : static_cast<MmsSenderBase *>(new MmsSender);
    sender->setMmsc(url);
    sender->setMmscPort(u.port(80));
    int code = -1;
    QEventLoop loop;
    QObject::connect(sender, &MmsSenderBase::mmsSendComplete, &loop, [&](int c) {
        code = c;
        loop.quit();
    });
    QByteArray answer;
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < count; ++i) {
        NullDevice response;
        response.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
        pdu.seek(0);
        code = -1;
        sender->startMmsSend(&pdu, &response);
        loop.exec();
        if (code != 200) {
            std::fprintf(stderr, "benchtransfer: send %d ended with %d\n", i, code);
            return 1;
        }
        if (response.written() != 16)
            return fail("the answer did not arrive whole");
        *bytes += pdu.size();
    }
    *seconds = t.nsecsElapsed() / 1e9;
    delete sender;
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    // The Qt this build runs on, for benchrun's labels.
    if (args.size() == 2 && args[1] == QLatin1String("qt")) {
        std::printf("%s\n", qVersion());
        return 0;
    }
    if (args.size() < 5 || (args[1] != QLatin1String("get") && args[1] != QLatin1String("post"))) {
        std::fprintf(stderr, "usage: benchtransfer get|post socket|nm|raw URL DEST|FILE [COUNT]\n");
        return 2;
    }
    const bool get = args[1] == QLatin1String("get");
    const QString variant = args[2];
    const QString url = args[3];
    const QString path = args[4];
    const int count = args.size() > 5 ? args[5].toInt() : 1;
    double seconds = 0;
    long long bytes = 0;
    int rc;
    if (variant == QLatin1String("raw"))
        rc = get ? rawGet(QUrl(url), path, count, &seconds, &bytes)
                 : rawPost(QUrl(url), path, count, &seconds, &bytes);
    else if (variant == QLatin1String("socket") || variant == QLatin1String("nm"))
        rc = get ? libGet(variant == QLatin1String("nm"), url, path, count, &seconds, &bytes)
                 : libPost(variant == QLatin1String("nm"), url, path, count, &seconds, &bytes);
    else
        return fail("unknown variant");
    if (rc != 0)
        return rc;
    std::printf("%.6f %lld\n", seconds, bytes);
    return 0;
}
