#ifndef QHTTPRESPONSEHEADER_H
#define QHTTPRESPONSEHEADER_H

#include "qhttpheader.h"

// Status line and fields of an HTTP response (Qt 4 interface). A default
// constructed header is invalid: no response has been received.
class QHttpResponseHeader : public QHttpHeader
{
public:
    QHttpResponseHeader();
    QHttpResponseHeader(int code, const QString &text = QString(), int majorVer = 1, int minorVer = 1);

    void setStatusLine(int code, const QString &text = QString(), int majorVer = 1, int minorVer = 1);
    int statusCode() const { return m_code; }
    QString reasonPhrase() const { return m_reason; }
    int majorVersion() const override { return m_major; }
    int minorVersion() const override { return m_minor; }

    QString toString() const override;

private:
    int m_code = 0;
    QString m_reason;
    int m_major = 1;
    int m_minor = 1;
};

#endif // QHTTPRESPONSEHEADER_H
