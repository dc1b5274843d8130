#ifndef QHTTPREQUESTHEADER_H
#define QHTTPREQUESTHEADER_H

#include "qhttpheader.h"

// Request line and fields of an HTTP request (Qt 4 interface).
class QHttpRequestHeader : public QHttpHeader
{
public:
    QHttpRequestHeader(); // invalid: no request
    QHttpRequestHeader(const QString &method, const QString &path, int majorVer = 1, int minorVer = 1);

    QString method() const { return m_method; }
    QString path() const { return m_path; }
    int majorVersion() const override { return m_major; }
    int minorVersion() const override { return m_minor; }

private:
    QString m_method;
    QString m_path;
    int m_major = 1;
    int m_minor = 1;
};

#endif // QHTTPREQUESTHEADER_H
