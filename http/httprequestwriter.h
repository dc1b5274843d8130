#ifndef HTTPREQUESTWRITER_H
#define HTTPREQUESTWRITER_H

#include <QByteArray>
#include <QString>

#include "qhttprequestheader.h"

// Turns a request header into the bytes of its request line and fields, with
// no socket of its own, so that what reaches the wire can be checked (and
// fuzzed) apart from the connection handling.
//
// Nothing a caller or a remote party controls can end a line early: a method
// that is not a token, a target or host name with blanks or control
// characters fails the request; a field with a bad name or a line break in its
// value is left out with a warning.
class HttpRequestWriter
{
public:
    struct Route
    {
        QString host; // the origin server
        quint16 port = 80;
        QString proxyHost; // empty: direct
        QString proxyUser;
        QString proxyPassword;
    };

    // hasBody: a body device was given. A Content-Length field is written for
    // it (and for POST, PUT and PATCH) with bodyLength; the header's own
    // Content-Length and Transfer-Encoding fields are never sent.
    static bool head(const QHttpRequestHeader &header, const Route &route, bool hasBody, qint64 bodyLength,
        QByteArray *out);
};

#endif // HTTPREQUESTWRITER_H
