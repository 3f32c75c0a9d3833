#pragma once

#include <QString>
#include <QtGlobal>

#include <cstdio>

// One file's upload progress on a terminal line; on anything but a
// terminal, a line per tenth of the file.
class ProgressBar
{
public:
    ProgressBar(QString label, std::FILE* stream);

    void update(qint64 done, qint64 total);
    // Ends the bar's line with a closing word.
    void finish(const QString& outcome);

private:
    QString m_label;
    std::FILE* m_stream;
    bool m_terminal;
    int m_lastTenth = -1;
    bool m_drawn = false;
};
