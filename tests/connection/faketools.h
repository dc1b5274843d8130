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

    // What the next runs of `tool` do: an exit code, "crash" or "hang"; later ones exit 0.
    void script(const QString &tool, const QStringList &actions)
    {
        QFile file(m_dir.filePath(tool + ".exit"));
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write((actions.join('\n') + '\n').toUtf8());
    }

    // One entry per run, e.g. "ifconfig [gprs0] [10.1.2.3] [up]".
    QStringList calls() const
    {
        QFile file(m_dir.filePath("calls.log"));
        return file.open(QIODevice::ReadOnly)
            ? QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts)
            : QStringList();
    }

    void clear()
    {
        for (const QString &name : QDir(m_dir.path()).entryList(QDir::Files))
            QFile::remove(m_dir.filePath(name));
    }

private:
    QTemporaryDir m_dir;
};

#endif // FAKETOOLS_H
