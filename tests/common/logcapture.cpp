#include "logcapture.h"

#include "mmslogger.h"

static LogCapture *s_current = nullptr;

LogCapture::LogCapture()
    : m_outer(s_current)
{
    s_current = this;
    m_previous = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(m_previous);
    s_current = m_outer;
}

void LogCapture::handler(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (s_current)
        s_current->m_entries.append({ type, text });
}

QStringList LogCapture::lines(QtMsgType type) const
{
    QStringList out;
    for (const Entry &e : m_entries)
        if (e.type == type)
            out << e.text;
    return out;
}

QStringList LogCapture::matching(const QString &needle) const
{
    QStringList out;
    for (const Entry &e : m_entries)
        if (e.text.contains(needle))
            out << e.text;
    return out;
}

DebugFlag::DebugFlag(bool on)
    : m_saved(MMSLogger::qdebugEnabled)
{
    MMSLogger::qdebugEnabled = on;
}

DebugFlag::~DebugFlag()
{
    MMSLogger::qdebugEnabled = m_saved;
}
