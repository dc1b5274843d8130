#ifndef DEMOCLIENT_H
#define DEMOCLIENT_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>

class MmsConnection;
class ProgressBar;

// One MMS round trip the way an MMS daemon drives libtarnex: open the
// packet-data connection, POST the m-send-req, read the m-send-conf, GET the
// stored message, compare, close. Every wait is bounded.
class DemoClient : public QObject
{
    Q_OBJECT
public:
    enum ConnectionKind { NoConnection = -1, GprsService = 0, PacketDataLibrary = 1 };
    enum Transfer { Socket, NetworkManager };

    // Exit status of the program, one per step that can fail.
    enum ExitCode {
        Success = 0,
        UsageError = 2,
        OpenFailed = 3,
        SendFailed = 4,
        MmscRefused = 5,
        DownloadFailed = 6,
        ContentMismatch = 7,
        CloseFailed = 8
    };

    struct Options
    {
        ConnectionKind connection = GprsService;
        Transfer transfer = Socket;
        QString apn = QStringLiteral("mms");
        QString user;
        QString password;
        QString mmsc = QStringLiteral("http://10.9.9.9/mms");
        QString proxy; // host; empty: none
        int proxyPort = 8080;
        QString target; // route target; empty: the MMSC's (or proxy's) address
        QString pduFile;
        QString downloadUrl; // empty: the m-send-conf's X-Mms-Content-Location
        QString saveFile; // where to keep the downloaded PDU
        int stallSeconds = 30;
        int connectSeconds = 75;
        int closeSeconds = 15;
    };

    explicit DemoClient(const Options &options);
    ~DemoClient() override;

    int run();

private Q_SLOTS:
    void onConnectionEstablished(int error);
    void onDisconnected();
    void onSendProgress(int done, int total);
    void onSendComplete(int code);
    void onDownloadProgress(int done, int total);
    void onDownloadComplete(int code);
    void onHttpState(int state);

private:
    struct Step
    {
        QString name;
        bool ok;
        QString outcome;
        qint64 ms; // -1: not timed
    };

    int open();
    int send();
    int checkConf();
    int download();
    int compare();
    int close();
    int fail(int code, const QString &message);
    void record(const QString &name, bool ok, const QString &outcome, qint64 ms = -1);
    // Runs the event loop until a step's signal arrives (true), or nothing has
    // happened for idleMs (false).
    bool waitForEvent(int idleMs);
    void printSummary(int exitCode);
    QString transferOutcome(int code) const;
    QString routeTarget() const;
    void printRoutes();

    Options m_options;
    QByteArray m_pdu;
    QByteArray m_tid;
    QByteArray m_response;
    QByteArray m_downloaded;
    QByteArray m_message_id;
    QString m_location;

    MmsConnection *m_connection = nullptr;
    QString m_bearerInterface; // empty without a connection: the host's own network
    QStringList m_bearerDns;
    bool m_open = false;
    bool m_lost = false;
    QEventLoop m_loop;
    QTimer m_idle;
    bool m_event = false;
    int m_code = 0;
    std::unique_ptr<ProgressBar> m_bar;
    QStringList m_states;
    QList<Step> m_steps;
    QElapsedTimer m_total;
};

#endif // DEMOCLIENT_H
