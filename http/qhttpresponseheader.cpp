#include "qhttpresponseheader.h"

QHttpResponseHeader::QHttpResponseHeader()
{
    setValid(false);
}

void QHttpResponseHeader::setStatusLine(int code, const QString &text, int majorVer, int minorVer)
{
    setValid(true);
    m_code = code;
    m_reason = text;
    m_major = majorVer;
    m_minor = minorVer;
}
