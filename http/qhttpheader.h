#ifndef QHTTPHEADER_H
#define QHTTPHEADER_H

#include <QList>
#include <QPair>
#include <QString>

// Header block of an HTTP message with the interface of Qt 4's class of the
// same name: an ordered list of fields whose keys compare case-insensitively
// and keep the case they were given in.
class QHttpHeader
{
public:
    QHttpHeader();
    QHttpHeader(const QHttpHeader &header) = default;
    QHttpHeader &operator=(const QHttpHeader &header) = default;
    virtual ~QHttpHeader();

    void setValue(const QString &key, const QString &value);
    void setValues(const QList<QPair<QString, QString>> &values);
    void addValue(const QString &key, const QString &value);
    QList<QPair<QString, QString>> values() const { return m_values; }
    bool hasKey(const QString &key) const;
    QString value(const QString &key) const;
    void setContentType(const QString &type);

    bool isValid() const { return m_valid; }

    virtual int majorVersion() const = 0;
    virtual int minorVersion() const = 0;

protected:
    void setValid(bool valid) { m_valid = valid; }

private:
    QList<QPair<QString, QString>> m_values;
    bool m_valid = true;
};

#endif // QHTTPHEADER_H
