#include "channels/channeldispatcher.h"

#include <memory>
#include <vector>

namespace sentrok {

// The senders, on the dispatcher's thread.
class ChannelHub : public QObject {
    Q_OBJECT
public:
    explicit ChannelHub(ChannelTiming timing) : m_timing(timing) {}

    void setChannels(const QList<ChannelSettings>& channels)
    {
        std::vector<std::unique_ptr<ChannelSender>> kept;
        for (const ChannelSettings& c : channels) {
            const auto same = std::find_if(m_senders.begin(), m_senders.end(),
                                           [&](const auto& s) { return s && s->channel() == c; });
            if (same != m_senders.end()) {
                kept.push_back(std::move(*same));
                continue;
            }
            auto sender = std::make_unique<ChannelSender>(c, m_timing);
            const qint64 id = c.record.id;
            connect(sender.get(), &ChannelSender::delivered, this,
                    [this, id](const QString& words) { emit delivered(id, words); });
            connect(sender.get(), &ChannelSender::failed, this,
                    [this, id](const QString& text) { emit failed(id, text); });
            kept.push_back(std::move(sender));
        }
        m_senders = std::move(kept);
    }

    void setRetryWindow(std::chrono::milliseconds window)
    {
        m_timing.retryWindow = window;
        for (const auto& s : m_senders) s->setRetryWindow(window);
    }

    void send(const ChannelMessage& message)
    {
        for (const auto& s : m_senders) s->send(message);
    }

signals:
    void delivered(qint64 channelId, const QString& words);
    void failed(qint64 channelId, const QString& text);

private:
    ChannelTiming m_timing;
    std::vector<std::unique_ptr<ChannelSender>> m_senders;
};

ChannelDispatcher::ChannelDispatcher(ChannelTiming timing, QObject* parent)
    : QObject(parent), m_hub(new ChannelHub(timing))
{
    m_thread.setObjectName(QStringLiteral("sentrok-channels"));
    m_hub->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_hub, &QObject::deleteLater);
    connect(m_hub, &ChannelHub::delivered, this, &ChannelDispatcher::delivered);
    connect(m_hub, &ChannelHub::failed, this, &ChannelDispatcher::failed);
    m_thread.start();
}

ChannelDispatcher::~ChannelDispatcher()
{
    m_thread.quit();
    m_thread.wait();
}

void ChannelDispatcher::setChannels(const QList<ChannelSettings>& channels)
{
    QMetaObject::invokeMethod(m_hub, [hub = m_hub, channels] { hub->setChannels(channels); });
}

void ChannelDispatcher::setRetryWindow(std::chrono::milliseconds window)
{
    QMetaObject::invokeMethod(m_hub, [hub = m_hub, window] { hub->setRetryWindow(window); });
}

void ChannelDispatcher::send(const ChannelMessage& message)
{
    QMetaObject::invokeMethod(m_hub, [hub = m_hub, message] { hub->send(message); });
}

}  // namespace sentrok

#include "channeldispatcher.moc"
