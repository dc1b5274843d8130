#ifndef MMSCSESSION_H
#define MMSCSESSION_H

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QTcpSocket>

// One HTTP request as the MMSC sees it.
struct MmscRequest
{
    QByteArray method;
    QByteArray target; // as on the request line
    QByteArray path; // origin form, also for absolute-form requests
    QByteArray host; // from an absolute-form target, else the Host field
    QByteArray version; // "HTTP/1.1"
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    bool viaProxyPort = false;

    QByteArray header(const QByteArray &name) const; // first one, case-insensitive
};

// One client connection: reads requests one after another (keep-alive),
// hands each complete one to its handler and writes the answer. Requests are
// bounded: 64 KiB of head, 100 fields, a body of at most maxBody bytes.
class MmscSession : public QObject
{
    Q_OBJECT
public:
    MmscSession(QTcpSocket *socket, int id, bool proxyPort, qint64 maxBody, QObject *parent);

    int id() const { return m_id; }
    QString peer() const;
    void respond(int status, const QByteArray &contentType, const QByteArray &body, bool close = false);
    // Headers with the full length, then only the first `sent` body bytes:
    // the connection stays open and silent.
    void respondAndStall(const QByteArray &contentType, const QByteArray &body, int sent);
    // Leaves the request unanswered for good.
    void hold() { m_held = true; }

Q_SIGNALS:
    void request(MmscSession *session, const MmscRequest &request);
    void log(const QString &line);

private:
    void readMore();
    bool parseHead(int headEnd);
    void fail(int status, const char *why);

    QPointer<QTcpSocket> m_socket;
    int m_id;
    bool m_proxy_port;
    qint64 m_max_body;
    QByteArray m_buffer;
    MmscRequest m_current;
    qint64 m_body_left = -1; // -1 while reading the head
    bool m_close_after = false;
    bool m_held = false;
};

#endif // MMSCSESSION_H
