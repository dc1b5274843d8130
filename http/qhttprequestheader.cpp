#include "qhttprequestheader.h"

QHttpRequestHeader::QHttpRequestHeader()
{
    setValid(false);
}

QHttpRequestHeader::QHttpRequestHeader(const QString &method, const QString &path, int majorVer, int minorVer)
{
    setRequest(method, path, majorVer, minorVer);
}

void QHttpRequestHeader::setRequest(const QString &method, const QString &path, int majorVer, int minorVer)
{
    setValid(true);
    m_method = method;
    m_path = path;
    m_major = majorVer;
    m_minor = minorVer;
}

QString QHttpRequestHeader::toString() const
{
    if (!isValid())
        return QString();
    return QStringLiteral("%1 %2 HTTP/%3.%4\r\n%5\r\n")
        .arg(m_method, m_path)
        .arg(m_major)
        .arg(m_minor)
        .arg(QHttpHeader::toString());
}
