#include "qhttpresponseheader.h"

QHttpResponseHeader::QHttpResponseHeader()
{
    setValid(false);
}

QHttpResponseHeader::QHttpResponseHeader(int code, const QString &text, int majorVer, int minorVer)
{
    setStatusLine(code, text, majorVer, minorVer);
}

void QHttpResponseHeader::setStatusLine(int code, const QString &text, int majorVer, int minorVer)
{
    setValid(true);
    m_code = code;
    m_reason = text;
    m_major = majorVer;
    m_minor = minorVer;
}

QString QHttpResponseHeader::toString() const
{
    if (!isValid())
        return QString();
    return QStringLiteral("HTTP/%1.%2 %3 %4\r\n%5\r\n")
        .arg(m_major)
        .arg(m_minor)
        .arg(m_code)
        .arg(m_reason, QHttpHeader::toString());
}
