#include "qhttprequestheader.h"

QHttpRequestHeader::QHttpRequestHeader()
{
    setValid(false);
}

QHttpRequestHeader::QHttpRequestHeader(const QString &method, const QString &path, int majorVer, int minorVer)
    : m_method(method)
    , m_path(path)
    , m_major(majorVer)
    , m_minor(minorVer)
{
}
