#ifndef QHTTPRESPONSEHEADER_H
#define QHTTPRESPONSEHEADER_H

#include "qhttpheader.h"

// Status line and fields of an HTTP response (Qt 4 interface). A default
// constructed header is invalid: no response has been received.
class QHttpResponseHeader : public QHttpHeader
{
public:
    QHttpResponseHeader();

    void setStatusLine(int code, const QString &text, int majorVer, int minorVer);
    int statusCode() const { return m_code; }
    QString reasonPhrase() const { return m_reason; }
    int majorVersion() const override { return m_major; }
    int minorVersion() const override { return m_minor; }

private:
    int m_code = 0;
    QString m_reason;
    int m_major = 1;
    int m_minor = 1;
};

#endif // QHTTPRESPONSEHEADER_H
