#ifndef MMSCSERVER_H
#define MMSCSERVER_H

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include "mmscsession.h"

class QTcpServer;

// A simulated MMS centre: accepts m-send-req PDUs by HTTP POST, answers each
// with an m-send-conf and serves every accepted message by GET at its own
// URL as an m-retrieve-conf.
class MmscServer : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        QHostAddress address = QHostAddress::Any;
        quint16 port = 80;
        int proxyPort = -1; // second listener taking absolute-form requests; -1: none
        QByteArray path = "/mms"; // where POSTs go; messages live below it
        QByteArray baseUrl; // base of message URLs; empty: from the request's host
        QString storeDir; // also write every PDU there; empty: memory only
        QString sender = QStringLiteral("+15555550100/TYPE=PLMN"); // inserted when asked to
        int forcedStatus = 0; // answer every send with this X-Mms-Response-Status
        int forcedHttpStatus = 0; // answer every POST with this HTTP status instead
        bool stallPost = false; // read POSTs, never answer
        int stallGetAfter = -1; // GET: send this many body bytes, then nothing
        qint64 maxBody = 2 * 1024 * 1024;
    };

    explicit MmscServer(const Options &options, QObject *parent = nullptr);

    bool listen(QString *error);
    quint16 port() const;
    int proxyPort() const;

Q_SIGNALS:
    void log(const QString &line);

private:
    void accept(QTcpServer *server, bool proxyPort);
    void handle(MmscSession *session, const MmscRequest &request);
    void handlePost(MmscSession *session, const MmscRequest &request);
    void handleGet(MmscSession *session, const MmscRequest &request);
    QByteArray messageUrl(const MmscRequest &request, const QByteArray &id) const;
    bool save(const QString &name, const QByteArray &bytes);

    Options m_options;
    QTcpServer *m_server = nullptr;
    QTcpServer *m_proxy_server = nullptr;
    QHash<QByteArray, QByteArray> m_messages; // id -> m-retrieve-conf
    int m_next_session = 1;
    int m_next_message = 1;
};

#endif // MMSCSERVER_H
