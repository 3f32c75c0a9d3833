#pragma once

#include <QObject>
#include <QString>

// Work on a cloud account that ends exactly once: done, failed with a
// reason in plain words, or canceled. Nothing happens before start().
class CloudJob : public QObject
{
    Q_OBJECT
public:
    enum Ending { Running, Done, Failed, Canceled };

    void start();
    // Ends the job as canceled at once; nothing when it has ended.
    void cancel();

    Ending ending() const { return m_ending; }
    bool hasEnded() const { return m_ending != Running; }
    // Failed: why, in plain words.
    QString reason() const { return m_reason; }

signals:
    // Exactly once, after start() or cancel().
    void ended();

protected:
    explicit CloudJob(QObject* parent) : QObject(parent) {}

    virtual void begin() = 0;
    // Lets go of whatever is in flight; the job is then ended as canceled.
    virtual void stop() = 0;
    // The first ending counts; later ones are ignored.
    void finish(Ending ending, const QString& reason = QString());

private:
    Ending m_ending = Running;
    bool m_started = false;
    QString m_reason;
};
