// Opens the log on the file named by its argument, writes one line and ends,
// so that a test can read what the log writes when the process exits.
#include "cloudlog.h"

int main(int argc, char** argv)
{
    if (argc != 2 || !CloudLog::instance()->open(argv[1], LOG_ALL, false))
        return 1;
    CloudLog::instance()->logLine(LOG_INF, "%s", "last line before exit");
    return 0;
}
