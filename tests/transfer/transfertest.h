#ifndef TRANSFERTEST_H
#define TRANSFERTEST_H

// Helpers shared by the transfer tests: a private home with its settings
// file, field order, meta-object listings.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>
#include <QMetaMethod>
#include <QTemporaryDir>
#include <QtTest>

// Points HOME at a temporary directory for the whole test run, so the
// settings file read by the transfers is the test's own.
class TestHome
{
public:
    bool setUp()
    {
        if (!m_dir.isValid())
            return false;
        qputenv("HOME", QFile::encodeName(m_dir.path()));
        return QDir::homePath() == m_dir.path();
    }

    // Writes ~/.mms/profile.conf; a null content removes it.
    bool writeConf(const QByteArray &content)
    {
        const QString path = m_dir.filePath(QStringLiteral(".mms/profile.conf"));
        if (content.isNull())
            return !QFile::exists(path) || QFile::remove(path);
        QDir(m_dir.path()).mkpath(QStringLiteral(".mms"));
        QFile f(path);
        return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(content) == content.size();
    }

    bool setIdentity(const QByteArray &userAgent, const QByteArray &profileUrl)
    {
        return writeConf("user_agent=\"" + userAgent + "\"\nprofile_url=\"" + profileUrl + "\"\n");
    }

private:
    QTemporaryDir m_dir;
};

// Names of the given fields (compared without case) in the order they were sent.
inline QList<QByteArray> namesAmong(const QList<QByteArray> &sent, const QList<QByteArray> &wanted)
{
    QList<QByteArray> out;
    for (const QByteArray &name : sent)
        for (const QByteArray &w : wanted)
            if (name.toLower() == w.toLower())
                out << name;
    return out;
}

// Meta-object methods a class adds, as "signature:parameter names".
inline QStringList ownMethods(const QMetaObject *mo)
{
    QStringList out;
    for (int i = mo->methodOffset(); i < mo->methodCount(); ++i) {
        const QMetaMethod m = mo->method(i);
        out << QString::fromLatin1(m.methodSignature() + ':' + m.parameterNames().join(' '));
    }
    return out;
}

#endif // TRANSFERTEST_H
