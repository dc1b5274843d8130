#ifndef TRANSFERTEST_H
#define TRANSFERTEST_H

// Helpers shared by the transfer tests: a private home with its settings
// file, an IPv6 peer, field order, state lines, meta-object listings.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>
#include <QMetaMethod>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

// Points HOME at a temporary directory for the whole test run, so the
// settings file read by the transfers is the test's own.
class TestHome
{
public:
    bool setUp()
    {
        if (!m_dir.isValid())
            return false;
        qputenv("HOME", QFile::encodeName(m_dir.path()));
        return QDir::homePath() == m_dir.path();
    }

    // Writes ~/.mms/profile.conf; a null content removes it.
    bool writeConf(const QByteArray &content)
    {
        const QString path = m_dir.filePath(QStringLiteral(".mms/profile.conf"));
        if (content.isNull())
            return !QFile::exists(path) || QFile::remove(path);
        QDir(m_dir.path()).mkpath(QStringLiteral(".mms"));
        QFile f(path);
        return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(content) == content.size();
    }

    bool setIdentity(const QByteArray &userAgent, const QByteArray &profileUrl)
    {
        return writeConf("user_agent=\"" + userAgent + "\"\nprofile_url=\"" + profileUrl + "\"\n");
    }

private:
    QTemporaryDir m_dir;
};

// A one-request HTTP peer on ::1 (the shared test server is IPv4 only): keeps
// the bytes of the request and answers it with an empty 200.
class Ipv6Peer
{
public:
    bool listen()
    {
        QObject::connect(&m_server, &QTcpServer::newConnection, [this] {
            QTcpSocket *s = m_server.nextPendingConnection();
            QObject::connect(s, &QTcpSocket::readyRead, s, [this, s] {
                received += s->readAll();
                const int end = received.indexOf("\r\n\r\n");
                const int cl = received.toLower().indexOf("content-length:");
                const int length = cl < 0
                    ? 0
                    : received.mid(cl + 15, received.indexOf('\r', cl) - cl - 15).trimmed().toInt();
                if (end >= 0 && received.size() >= end + 4 + length) {
                    s->write("HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
                    s->disconnectFromHost();
                }
            });
        });
        return m_server.listen(QHostAddress::LocalHostIPv6);
    }
    quint16 port() const { return m_server.serverPort(); }
    QByteArray received;

private:
    QTcpServer m_server;
};

// Names of the given fields (compared without case) in the order they were sent.
inline QList<QByteArray> namesAmong(const QList<QByteArray> &sent, const QList<QByteArray> &wanted)
{
    QList<QByteArray> out;
    for (const QByteArray &name : sent)
        for (const QByteArray &w : wanted)
            if (name.toLower() == w.toLower())
                out << name;
    return out;
}

// A loopback port nobody listens on once the probe is gone.
inline quint16 closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// The debug lines the socket variants write for the states a spy recorded.
inline QStringList stateLinesFor(const QSignalSpy &states)
{
    const char *names[]
        = { "Unconnected", "HostLookup", "Connecting", "Sending", "Reading", "Connected", "Closing" };
    QStringList out;
    for (const QList<QVariant> &args : states) {
        const int st = args.at(0).toInt();
        out << QStringLiteral("D: [HTTP] Connection state %1 ( %2 )").arg(QLatin1String(names[st])).arg(st);
    }
    return out;
}

// Meta-object methods a class adds, as "signature:parameter names".
inline QStringList ownMethods(const QMetaObject *mo)
{
    QStringList out;
    for (int i = mo->methodOffset(); i < mo->methodCount(); ++i) {
        const QMetaMethod m = mo->method(i);
        out << QString::fromLatin1(m.methodSignature() + ':' + m.parameterNames().join(' '));
    }
    return out;
}

#endif // TRANSFERTEST_H
