#pragma once

// Keep <syslog.h> away from this header's users: it defines LOG_ERR and
// friends as macros.

// Message levels, single bits, and the two special masks.
constexpr int LOG_NONE = 0; // mask: write nothing
constexpr int LOG_ALL = 1;  // mask: write every message of a non-zero level
constexpr int LOG_CRT = 2;
constexpr int LOG_ERR = 4;
constexpr int LOG_WRN = 8;
constexpr int LOG_INF = 16;
constexpr int LOG_DBG = 64;
constexpr int LOG_PRG = 128;

// The process-wide diagnostic channel as its callers see it.
class ICloudLog
{
public:
    // Opens the log on a file path, "stderr" or "stdout" with a level mask;
    // true when the log is open afterwards.
    virtual bool open(const char* path, int mask, bool writeHeader) = 0;
    // Writes a printf-style message and ends the line.
    [[gnu::format(printf, 3, 4)]] virtual void logLine(int level, const char* format, ...) = 0;
    // Writes a printf-style message and leaves the line open for the next one.
    [[gnu::format(printf, 3, 4)]] virtual void log(int level, const char* format, ...) = 0;

protected:
    // Never deleted through this interface.
    ~ICloudLog() = default;
};
