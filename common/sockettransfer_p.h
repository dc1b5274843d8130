#ifndef SOCKETTRANSFER_P_H
#define SOCKETTRANSFER_P_H

#include <QByteArray>
#include <QString>

#include "tarnexdebug_p.h"

class QHttp;
class QHttpRequestHeader;
class QObject;
class QUrl;

// What MmsSender and MmsReceiver do alike on the socket client.
namespace TarnexSocket {

// The debug lines in which a sender and a receiver differ.
struct LogLines
{
    const char *progress; // followed by "<done>  of  <total>"
    const char *completed; // followed by the outcome code
    const char *size; // followed by the size of what the device holds
};

// An empty proxy means a direct connection: a proxy that an earlier transfer
// set must not carry this one somewhere the caller no longer wants.
// `proxySet` remembers whether the client has one.
void applyProxy(QHttp *http, const QString &proxy, int proxyPort, bool *proxySet);

// The request for `url`: its path ("/" when empty) and query as the target,
// never the fragment; the content type when given; the fields the settings
// file asks for (RequestProfile); and the URL's host as Host (an IPv6 literal bracketed,
// or its colons would read as a port). `target` receives the request target.
QHttpRequestHeader requestHeader(
    const QString &method, const QUrl &url, const QString &contentType, QString *target);

// Gives the client the limits, interface and DNS servers `transfer` holds
// now, for the request queued next.
void applyOptions(QHttp *http, const QObject *transfer);

// Forgets the running request, then aborts it: the client reports it as
// finished with an error, and an abandoned transfer is not reported.
void abort(QHttp *http, int *transactionId);

// The outcome of request `requestId` when it is the transfer's own
// (`transactionId`, not a setHost or setProxy step): the status code, or the
// client's error code when it failed. Logged either way.
bool outcome(
    const QHttp *http, int requestId, bool error, int transactionId, const LogLines &lines, int *code);

// Name of a QHttp::State for the debug log ("Unknown" for anything else).
const char *stateName(int state);

// The bodies of the transfers' slots for the client's signals: each logs
// and emits the transfer's own signal.
template <typename Transfer, typename Signal>
void finished(Transfer *transfer, Signal completed, const QHttp *http, int requestId, bool error,
    int transactionId, const LogLines &lines)
{
    int code;
    if (outcome(http, requestId, error, transactionId, lines, &code))
        emit(transfer->*completed)(code);
}

template <typename Transfer, typename Signal>
void progress(Transfer *transfer, Signal signal, const LogLines &lines, int done, int total)
{
    TARNEX_DEBUG << lines.progress << done << " of " << total;
    emit(transfer->*signal)(done, total);
}

template <typename Transfer, typename Signal> void stateChanged(Transfer *transfer, Signal signal, int state)
{
    TARNEX_DEBUG << "D: [HTTP] Connection state" << stateName(state) << "(" << state << ")";
    emit(transfer->*signal)(state);
}

} // namespace TarnexSocket

#endif // SOCKETTRANSFER_P_H
