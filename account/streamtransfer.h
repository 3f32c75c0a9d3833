#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QPointer>

#include <atomic>
#include <memory>
#include <string>

class ContentDigest;
class StreamReply;

// One request as the transport's worker thread runs it: what to send (an
// upload's body from its file), what came back (a download's body into its
// file). The worker writes the results; the main thread
// reads them only after the worker said it is done.
struct StreamTransfer {
    // Set on the main thread before the transfer is queued.
    QByteArray method;
    QByteArray url;
    QList<QPair<QByteArray, QByteArray>> headers; // in the order they go out
    int fd = -1;                                  // a duplicate, closed by the worker
    qint64 offset = 0;
    qint64 length = 0;
    QByteArray proxy;                             // "host:port", empty for none
    QByteArray authorities;                       // PEM; empty: the system's
    qint64 maxReplyBytes = 0;
    std::shared_ptr<ContentDigest> digest;        // told every byte read, or null
    int sinkFd = -1;                              // a download's file (a duplicate, closed by the worker)
    qint64 sinkOffset = 0;                        // where in it a successful answer's body goes
    QPointer<StreamReply> reply;                  // main thread only

    std::atomic<bool> canceled{false};

    // Written by the worker.
    qint64 sent = 0;
    qint64 received = 0;      // of a download's body, written to its file
    qint64 receiving = 0;     // the size its answer announced, 0 when unknown
    bool sinkFailed = false;  // the file did not take them
    int status = 0;
    QList<QPair<QByteArray, QByteArray>> replyHeaders;
    QByteArray body;
    int curlCode = 0;
    long verifyResult = 0;
    std::string curlMessage;
    bool tooLarge = false;
};
