#pragma once

#include "alerts/sound.h"
#include "common/clock.h"
#include "common/messages.h"

#include <QDateTime>
#include <QList>

#include <memory>

namespace sentrok::test {

// Records every message box and answers from a queue (Yes when the queue is empty).
class FakeMessageBoxes final : public MessageBoxes {
public:
    // A box opened by notice(): its text as it stands now; a test closes it as the user would.
    struct OpenNotice {
        Message message{};
        bool open = true;
    };

    MsgAnswer ask(const Message& m) override;
    void tell(const Message& m) override;
    std::unique_ptr<Notice> notice(const Message& m) override;
    void answerNext(MsgAnswer a) { m_answers << a; }

    QList<Message> asked;  // modal boxes, in order
    QList<Message> told;   // non-modal boxes as first shown, notices included, in order
    QList<std::shared_ptr<OpenNotice>> notices;

private:
    QList<MsgAnswer> m_answers;
};

// Records the sounds asked for instead of playing them.
class RecordingPlayer final : public SoundPlayer {
public:
    void play(const QString& path) override { played << path; }
    QStringList played;
};

// A clock that moves only when told.
class FakeClock final : public Clock {
public:
    explicit FakeClock(QDateTime start = QDateTime(QDate(2026, 12, 7), QTime(20, 7, 11)))
        : m_now(std::move(start))
    {
    }
    QDateTime now() const override { return m_now; }
    qint32 uptimeMs() const override { return m_uptime; }
    void advance(qint64 ms)
    {
        m_now = m_now.addMSecs(ms);
        m_uptime = qint32(quint32(m_uptime) + quint32(ms));
    }
    void set(const QDateTime& t) { m_now = t; }
    void setUptime(qint32 ms) { m_uptime = ms; }

private:
    QDateTime m_now;
    qint32 m_uptime = 3'600'000;
};

}  // namespace sentrok::test
