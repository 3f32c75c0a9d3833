#pragma once

#include "icloudlog.h"

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

// The process-wide log: filters messages by level and writes each accepted
// piece with a level tag and an elapsed-time stamp to a file or a standard
// stream. It starts closed with mask LOG_NONE and discards everything until
// opened.
class CloudLog : public ICloudLog
{
public:
    // Created on first use, destroyed at process exit.
    static ICloudLog* instance();

    bool open(const char* path, int mask, bool writeHeader) override;
    [[gnu::format(printf, 3, 4)]] void logLine(int level, const char* format, ...) override;
    [[gnu::format(printf, 3, 4)]] void log(int level, const char* format, ...) override;
    virtual ~CloudLog();

    CloudLog(const CloudLog&) = delete;
    CloudLog& operator=(const CloudLog&) = delete;

    enum StampStyle {
        CLOCK_STAMP,   // "%d:%02d:%02d.%03d", hours not reduced; the log's own
        SECONDS_STAMP, // "%.3f" seconds
        MINUTES_STAMP, // "%d:%02d.%03d", total minutes
    };
    // The stamp's millisecond count, given the clock's start and the current
    // time of day. The start's microseconds are deliberately left out.
    static std::uint32_t elapsedMilliseconds(long startSeconds, long nowSeconds, long nowMicroseconds);
    static void formatStamp(std::uint32_t milliseconds, StampStyle style, char* out, std::size_t size);

private:
    struct LockRecord;
    // Closes files the log opened; the standard streams are never closed.
    struct StreamCloser {
        void operator()(std::FILE* stream) const;
    };

    CloudLog();
    void write(int level, const char* format, va_list args, bool endLine);
    bool accepts(int level) const;
    void writeHeader();

    std::unique_ptr<std::FILE, StreamCloser> m_stream;
    std::string m_path;
    std::int32_t m_mask = LOG_NONE;
    bool m_atLineStart = true;
    std::unique_ptr<LockRecord> m_lock;
};
