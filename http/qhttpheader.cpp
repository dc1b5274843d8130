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

QString QHttpHeader::value(const QString &key) const
{
    for (const auto &field : m_values)
        if (field.first.compare(key, Qt::CaseInsensitive) == 0)
            return field.second;
    return QString();
}

void QHttpHeader::setContentType(const QString &type)
{
    setValue(QStringLiteral("Content-Type"), type);
}
