#pragma once

#include <QString>
#include <QStringList>

class QCommandLineParser;

// How qovi-cloud speaks to whoever runs it, whichever of its programs runs
// the command: lines on standard output, complaints on standard error after
// its name, and the exit statuses every command shares.
class ToolConsole
{
public:
    enum Status { Ok = 0, Failed = 1, Usage = 2, NotConnected = 3, Interrupted = 130 };

    static void say(const QString& line);
    static void complain(const QString& line);
    // False, with the parser's complaint said, when the arguments do not parse.
    static bool parse(QCommandLineParser& parser, const QStringList& arguments);
};
