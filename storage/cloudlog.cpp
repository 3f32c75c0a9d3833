#include "cloudlog.h"

#include <boost/thread/locks.hpp>
#include <boost/thread/recursive_mutex.hpp>

#include <cstring>
#include <sys/time.h>

namespace {

const char* const kLogVersion = "1.0";
const unsigned char kByteOrderMark[] = {0xEF, 0xBB, 0xBF};

// Fixed stack buffers: a log call allocates nothing.
constexpr std::size_t kMessageSize = 65536;
constexpr std::size_t kMessageLimit = 65534;
constexpr std::size_t kBodySize = 65536;
constexpr std::size_t kBodyLimit = 65535;
constexpr std::size_t kStampSize = 128;

const char* tagFor(int level)
{
    switch (level) {
    case LOG_CRT:
        return "[CRT] ";
    case LOG_ERR:
        return "[ERR] ";
    case LOG_WRN:
        return "[WRN] ";
    case LOG_INF:
        return "[INF] ";
    case LOG_DBG:
        return "[DBG] ";
    case LOG_PRG:
        return "[PRG] ";
    default:
        return "[UNK]";
    }
}

timeval timeOfDay()
{
    timeval now{};
    gettimeofday(&now, nullptr);
    return now;
}

std::uint32_t stampNow()
{
    // The clock starts with the first stamp the process makes.
    static const timeval start = timeOfDay();
    const timeval now = timeOfDay();
    return CloudLog::elapsedMilliseconds(start.tv_sec, now.tv_sec, now.tv_usec);
}

// Copies text after the first `used` characters, stopping at `limit`.
std::size_t append(char* out, std::size_t used, std::size_t limit, const char* text)
{
    while (used < limit && *text)
        out[used++] = *text++;
    return used;
}

} // namespace

struct CloudLog::LockRecord {
    boost::recursive_mutex mutex;
    const unsigned char* byteOrderMark = kByteOrderMark;
};

void CloudLog::StreamCloser::operator()(std::FILE* stream) const
{
    if (stream && stream != stderr && stream != stdout)
        std::fclose(stream);
}

ICloudLog* CloudLog::instance()
{
    static CloudLog log;
    return &log;
}

CloudLog::CloudLog()
    : m_lock(std::make_unique<LockRecord>())
{
}

CloudLog::~CloudLog()
{
    logLine(LOG_INF, "CloudLog was completed.");
}

// Not locked: the log is to be opened before other threads write to it.
bool CloudLog::open(const char* path, int mask, bool writeHeader)
{
    if (!path || !*path)
        return false;
    // Before anything else, so that a failed open still applies the mask.
    m_mask = mask;
    if (m_path == path)
        return true;
    m_stream.reset();
    m_path.clear();
    if (std::strcmp(path, "stderr") == 0)
        m_stream.reset(stderr);
    else if (std::strcmp(path, "stdout") == 0)
        m_stream.reset(stdout);
    else
        m_stream.reset(std::fopen(path, "w"));
    if (!m_stream)
        return false;
    m_path = path;
    if (writeHeader)
        this->writeHeader();
    return true;
}

void CloudLog::writeHeader()
{
    std::fwrite(m_lock->byteOrderMark, 1, sizeof kByteOrderMark, m_stream.get());
    std::fflush(m_stream.get());
    logLine(LOG_INF, "Log file version: %s", kLogVersion);
    logLine(LOG_INF, "File name: %s\n", m_path.c_str());
}

void CloudLog::logLine(int level, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    write(level, format, args, true);
    va_end(args);
}

void CloudLog::log(int level, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    write(level, format, args, false);
    va_end(args);
}

bool CloudLog::accepts(int level) const
{
    if (m_mask == LOG_NONE || level == 0)
        return false;
    return m_mask == LOG_ALL || (m_mask & level) != 0;
}

void CloudLog::write(int level, const char* format, va_list args, bool endLine)
{
    char message[kMessageSize];
    message[0] = '\0';
    std::vsnprintf(message, kMessageLimit + 1, format, args);

    boost::unique_lock<boost::recursive_mutex> hold(m_lock->mutex);
    if (!accepts(level))
        return;
    char stamp[kStampSize];
    formatStamp(stampNow(), CLOCK_STAMP, stamp, sizeof stamp);
    char body[kBodySize];
    std::size_t used = append(body, 0, kBodyLimit, stamp);
    if (m_atLineStart)
        used = append(body, used, kBodyLimit, " ");
    used = append(body, used, kBodyLimit, message);

    if (std::FILE* stream = m_stream.get()) {
        std::fseek(stream, 0, SEEK_END);
        if (m_atLineStart)
            std::fputs(tagFor(level), stream);
        std::fwrite(body, 1, used, stream);
        if (endLine)
            std::fputc('\n', stream);
        std::fflush(stream);
    }
    m_atLineStart = endLine;
}

std::uint32_t CloudLog::elapsedMilliseconds(long startSeconds, long nowSeconds, long nowMicroseconds)
{
    const long long elapsed = (static_cast<long long>(nowSeconds) - startSeconds) * 1000 + nowMicroseconds / 1000;
    const double seconds = static_cast<double>(elapsed) / 1000.0;
    // Through a 64-bit count, so that the 32-bit count wraps instead of
    // overflowing.
    return static_cast<std::uint32_t>(static_cast<long long>(seconds * 1000.0));
}

void CloudLog::formatStamp(std::uint32_t milliseconds, StampStyle style, char* out, std::size_t size)
{
    const int hours = static_cast<int>(milliseconds / 3600000u);
    const int minutes = static_cast<int>(milliseconds / 60000u % 60u);
    const int seconds = static_cast<int>(milliseconds / 1000u % 60u);
    const int millis = static_cast<int>(milliseconds % 1000u);
    switch (style) {
    case SECONDS_STAMP:
        std::snprintf(out, size, "%.3f", milliseconds / 1000.0);
        return;
    case MINUTES_STAMP:
        std::snprintf(out, size, "%d:%02d.%03d", hours * 60 + minutes, seconds, millis);
        return;
    case CLOCK_STAMP:
        break;
    }
    std::snprintf(out, size, "%d:%02d:%02d.%03d", hours, minutes, seconds, millis);
}
