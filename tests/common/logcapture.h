#ifndef LOGCAPTURE_H
#define LOGCAPTURE_H

#include <QString>
#include <QStringList>
#include <QVector>
#include <QtGlobal>

#include "mmslogger.h"

// Captures every message that goes through Qt's message handler while it
// lives, and restores the previous handler when it goes.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();

    QStringList lines() const { return m_texts; } // all texts, in order
    QStringList lines(QtMsgType type) const; // texts of one level
    QStringList matching(const QString &needle) const { return m_texts.filter(needle); }
    bool contains(const QString &needle) const { return !matching(needle).isEmpty(); }

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &text);

    QStringList m_texts;
    QVector<QtMsgType> m_types; // of each text
    QtMessageHandler m_previous;
    LogCapture *m_outer;
};

// Sets the library's debug switch for one scope.
class DebugFlag
{
public:
    explicit DebugFlag(bool on) { MMSLogger::qdebugEnabled = on; }
    ~DebugFlag() { MMSLogger::qdebugEnabled = m_saved; }

private:
    const bool m_saved = MMSLogger::qdebugEnabled;
};

#endif // LOGCAPTURE_H
