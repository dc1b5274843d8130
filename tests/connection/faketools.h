#ifndef FAKETOOLS_H
#define FAKETOOLS_H

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

// Scripts and reads tests/launchers/fake-net-tool, which in-netns
// --fake-net-tools has put over /sbin/ifconfig and /sbin/route.
class FakeTools
{
public:
    FakeTools() { qputenv("FAKE_NET_TOOLS_DIR", QFile::encodeName(m_dir.path())); }
    ~FakeTools() { qunsetenv("FAKE_NET_TOOLS_DIR"); }

    bool isValid() const { return m_dir.isValid(); }

    // What the next runs of `tool` ("ifconfig" or "route") do, one per run:
    // an exit code, "crash" or "hang". Runs beyond the list exit 0.
    void script(const QString &tool, const QStringList &actions)
    {
        QFile file(m_dir.filePath(tool + QStringLiteral(".exit")));
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write((actions.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8());
    }

    // One entry per run, e.g. "ifconfig [gprs0] [10.1.2.3] [up]".
    QStringList calls() const
    {
        QFile file(m_dir.filePath(QStringLiteral("calls.log")));
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    void clear()
    {
        for (const QString &name : QDir(m_dir.path()).entryList(QDir::Files))
            QFile::remove(m_dir.filePath(name));
    }

    static QString up(
        const QString &iface = QStringLiteral("gprs0"), const QString &address = QStringLiteral("10.1.2.3"))
    {
        return QStringLiteral("ifconfig [%1] [%2] [up]").arg(iface, address);
    }
    static QString down(const QString &iface = QStringLiteral("gprs0"))
    {
        return QStringLiteral("ifconfig [%1] [down]").arg(iface);
    }
    static QString route(const QString &target, const QString &iface = QStringLiteral("gprs0"))
    {
        return QStringLiteral("route [add] [%1] [dev] [%2]")
            .arg(target.isEmpty() ? QStringLiteral("default") : target, iface);
    }

private:
    QTemporaryDir m_dir;
};

#endif // FAKETOOLS_H
