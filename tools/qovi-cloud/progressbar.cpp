#include "progressbar.h"

#include <unistd.h>

namespace {
constexpr int kWidth = 30;
}

ProgressBar::ProgressBar(QString label, std::FILE* stream)
    : m_label(std::move(label)), m_stream(stream), m_terminal(::isatty(fileno(stream)) != 0)
{
}

void ProgressBar::update(qint64 done, qint64 total)
{
    const int percent = total > 0 ? int(done * 100 / total) : 100;
    if (m_terminal) {
        const int filled = percent * kWidth / 100;
        std::fprintf(m_stream, "\r%s [%s%s] %3d%% %.1f/%.1f MB", qPrintable(m_label),
                     QByteArray(filled, '#').constData(), QByteArray(kWidth - filled, '.').constData(), percent,
                     done / 1e6, total / 1e6);
        m_drawn = true;
    } else if (percent / 10 != m_lastTenth) {
        m_lastTenth = percent / 10;
        std::fprintf(m_stream, "%s %d%%\n", qPrintable(m_label), percent);
    }
    std::fflush(m_stream);
}

void ProgressBar::finish(const QString& outcome)
{
    if (m_drawn)
        std::fputc('\n', m_stream);
    std::fprintf(m_stream, "%s\n", qPrintable(outcome));
    std::fflush(m_stream);
    m_drawn = false;
}
