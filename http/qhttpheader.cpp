#include "qhttpheader.h"

QHttpHeader::QHttpHeader() = default;

QHttpHeader::~QHttpHeader() = default;

// Replaces the first field of that key where it stands, so the order of the
// fields on the wire does not change, and drops any later duplicates.
void QHttpHeader::setValue(const QString &key, const QString &value)
{
    bool replaced = false;
    for (auto it = m_values.begin(); it != m_values.end();) {
        if (it->first.compare(key, Qt::CaseInsensitive) == 0) {
            if (replaced) {
                it = m_values.erase(it);
                continue;
            }
            it->second = value;
            replaced = true;
        }
        ++it;
    }
    if (!replaced)
        m_values.append(qMakePair(key, value));
}

void QHttpHeader::setValues(const QList<QPair<QString, QString>> &values)
{
    m_values = values;
}

void QHttpHeader::addValue(const QString &key, const QString &value)
{
    m_values.append(qMakePair(key, value));
}

bool QHttpHeader::hasKey(const QString &key) const
{
    for (const auto &field : m_values)
        if (field.first.compare(key, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

QStringList QHttpHeader::keys() const
{
    QStringList out;
    for (const auto &field : m_values)
        if (!out.contains(field.first, Qt::CaseInsensitive))
            out << field.first;
    return out;
}

QString QHttpHeader::value(const QString &key) const
{
    for (const auto &field : m_values)
        if (field.first.compare(key, Qt::CaseInsensitive) == 0)
            return field.second;
    return QString();
}

QStringList QHttpHeader::allValues(const QString &key) const
{
    QStringList out;
    for (const auto &field : m_values)
        if (field.first.compare(key, Qt::CaseInsensitive) == 0)
            out << field.second;
    return out;
}

void QHttpHeader::removeValue(const QString &key)
{
    for (auto it = m_values.begin(); it != m_values.end(); ++it) {
        if (it->first.compare(key, Qt::CaseInsensitive) == 0) {
            m_values.erase(it);
            return;
        }
    }
}

void QHttpHeader::removeAllValues(const QString &key)
{
    for (auto it = m_values.begin(); it != m_values.end();) {
        if (it->first.compare(key, Qt::CaseInsensitive) == 0)
            it = m_values.erase(it);
        else
            ++it;
    }
}

bool QHttpHeader::hasContentLength() const
{
    return hasKey(QStringLiteral("content-length"));
}

uint QHttpHeader::contentLength() const
{
    return value(QStringLiteral("content-length")).trimmed().toUInt();
}

void QHttpHeader::setContentLength(int len)
{
    setValue(QStringLiteral("Content-Length"), QString::number(len));
}

bool QHttpHeader::hasContentType() const
{
    return hasKey(QStringLiteral("content-type"));
}

QString QHttpHeader::contentType() const
{
    const QString type = value(QStringLiteral("content-type"));
    const int semicolon = type.indexOf(QLatin1Char(';'));
    return (semicolon < 0 ? type : type.left(semicolon)).trimmed();
}

void QHttpHeader::setContentType(const QString &type)
{
    setValue(QStringLiteral("Content-Type"), type);
}

QString QHttpHeader::toString() const
{
    if (!isValid())
        return QString();
    QString out;
    for (const auto &field : m_values)
        out += field.first + QLatin1String(": ") + field.second + QLatin1String("\r\n");
    return out;
}
