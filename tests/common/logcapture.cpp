#include "logcapture.h"

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
    if (s_current) {
        s_current->m_texts << text;
        s_current->m_types << type;
    }
}

QStringList LogCapture::lines(QtMsgType type) const
{
    QStringList out;
    for (int i = 0; i < m_texts.size(); ++i)
        if (m_types.at(i) == type)
            out << m_texts.at(i);
    return out;
}
