#include "toolconsole.h"

#include <QCommandLineParser>

#include <cstdio>

void ToolConsole::say(const QString& line)
{
    std::fprintf(stdout, "%s\n", qPrintable(line));
    std::fflush(stdout);
}

void ToolConsole::complain(const QString& line)
{
    std::fprintf(stderr, "qovi-cloud: %s\n", qPrintable(line));
    std::fflush(stderr);
}

bool ToolConsole::parse(QCommandLineParser& parser, const QStringList& arguments)
{
    if (parser.parse(arguments))
        return true;
    QString error = parser.errorText();
    if (error.endsWith(QLatin1Char('.')))
        error.chop(1);
    complain(error + QStringLiteral("; see qovi-cloud --help"));
    return false;
}
