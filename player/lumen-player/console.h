#pragma once

#include <QString>

// The player's report on standard output: one line at a time, flushed at
// once, so that a script reading it sees each step when it happens.
class Console
{
public:
    static void say(const QString& line);
};
