#include "progressbar.h"

#include <unistd.h>

ProgressBar::ProgressBar(const QString &label, FILE *out)
    : m_label(label)
    , m_out(out)
    , m_tty(isatty(fileno(out)))
{
}

void ProgressBar::update(qint64 done, qint64 total)
{
    if (done < m_done || (total > 0 && total < m_total))
        return;
    m_done = done;
    if (total > 0)
        m_total = total;
    if (m_tty && (!m_last_draw.isValid() || m_last_draw.elapsed() > 50)) {
        draw(false);
        m_last_draw.restart();
    }
}

void ProgressBar::finish(bool ok)
{
    if (m_finished)
        return;
    m_finished = true;
    draw(true);
    std::fprintf(m_out, "%s\n", ok ? "" : "  (incomplete)");
    std::fflush(m_out);
}

void ProgressBar::draw(bool final)
{
    const int width = 30;
    const qint64 total = m_total > 0 ? m_total : 0;
    const int filled = total ? int(qMin<qint64>(width, m_done * width / total)) : (final ? width : 0);
    const int percent = total ? int(qMin<qint64>(100, m_done * 100 / total)) : (final ? 100 : 0);
    QByteArray bar(filled, '#');
    bar += QByteArray(width - filled, '.');
    const QString sizes
        = total ? QStringLiteral("%1/%2 B").arg(m_done).arg(total) : QStringLiteral("%1 B").arg(m_done);
    std::fprintf(m_out, "%s  %-9s [%s] %3d%%  %s", m_tty ? "\r" : "", qPrintable(m_label), bar.constData(),
        percent, qPrintable(sizes));
    if (!final)
        std::fflush(m_out);
}
