#ifndef PROGRESSBAR_H
#define PROGRESSBAR_H

#include <QElapsedTimer>
#include <QString>

#include <cstdio>

// A one-line byte progress bar. On a terminal it is redrawn in place; into a
// file or pipe only the final state is written, so logs stay readable.
class ProgressBar
{
public:
    ProgressBar(const QString &label, FILE *out);

    // Progress only moves forward: a transfer layer that reports a smaller
    // figure after the end (a finished upload reporting 0 of 1) changes nothing.
    void update(qint64 done, qint64 total);
    void finish(bool ok);
    qint64 done() const { return m_done; }

private:
    void draw(bool final);

    QString m_label;
    FILE *m_out;
    bool m_tty;
    qint64 m_done = 0;
    qint64 m_total = 0;
    bool m_finished = false;
    QElapsedTimer m_last_draw;
};

#endif // PROGRESSBAR_H
