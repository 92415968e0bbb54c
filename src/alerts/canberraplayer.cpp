#include "alerts/canberraplayer.h"

#include <canberra.h>

#include <QMetaObject>
#include <QTextStream>

namespace sentrok {

namespace {

// Every request plays under one id, so a new one can cancel the one before.
constexpr uint32_t kSoundId = 1;

}  // namespace

// What a finished sound reports back to: the player and the request it belonged to.
struct CanberraPlayer::Request {
    CanberraPlayer* player;
    Stage stage;
    quint64 generation;
};

void CanberraPlayer::ContextDeleter::operator()(ca_context* c) const { ca_context_destroy(c); }

CanberraPlayer::CanberraPlayer(QObject* parent) : QObject(parent)
{
    ca_context* c = nullptr;
    if (ca_context_create(&c) == CA_SUCCESS) {
        m_context.reset(c);
        ca_context_change_props(c, CA_PROP_APPLICATION_NAME, "Sentrok", CA_PROP_APPLICATION_ID,
                                "sentrok", nullptr);
    }
}

CanberraPlayer::~CanberraPlayer() = default;

void CanberraPlayer::play(const QString& path)
{
    ++m_generation;
    start(path, Stage::File);
}

void CanberraPlayer::start(const QString& path, Stage stage)
{
    if (!m_context) {
        failed(Stage::Bell, CA_ERROR_STATE, m_generation);
        return;
    }
    ca_context_cancel(m_context.get(), kSoundId);
    ca_proplist* props = nullptr;
    ca_proplist_create(&props);
    switch (stage) {
        case Stage::File:
            ca_proplist_sets(props, CA_PROP_MEDIA_FILENAME, path.toLocal8Bit().constData());
            ca_proplist_sets(props, CA_PROP_CANBERRA_CACHE_CONTROL, "never");
            break;
        case Stage::Warning:
            ca_proplist_sets(props, CA_PROP_EVENT_ID, "dialog-warning");
            break;
        case Stage::Bell:
            ca_proplist_sets(props, CA_PROP_EVENT_ID, "bell");
            break;
    }
    ca_proplist_sets(props, CA_PROP_EVENT_DESCRIPTION, "Sentrok");
    auto* request = new Request{this, stage, m_generation};
    const int r = ca_context_play_full(m_context.get(), kSoundId, props, &finished, request);
    ca_proplist_destroy(props);
    if (r != CA_SUCCESS) {
        delete request;
        failed(stage, r, m_generation);
    }
}

// Runs on libcanberra's own thread: hand the outcome to the player's thread.
void CanberraPlayer::finished(ca_context*, uint32_t, int error, void* userdata)
{
    std::unique_ptr<Request> request(static_cast<Request*>(userdata));
    if (error == CA_SUCCESS || error == CA_ERROR_CANCELED || error == CA_ERROR_DESTROYED) return;
    const Request r = *request;
    QMetaObject::invokeMethod(
        r.player, [r, error] { r.player->failed(r.stage, error, r.generation); },
        Qt::QueuedConnection);
}

void CanberraPlayer::failed(Stage stage, int error, quint64 generation)
{
    if (generation != m_generation) return;  // a newer request has taken over
    switch (stage) {
        case Stage::File:
            start({}, Stage::Warning);
            return;
        case Stage::Warning:
            start({}, Stage::Bell);
            return;
        case Stage::Bell:
            break;
    }
    if (m_toldUnavailable) return;
    m_toldUnavailable = true;
    const QString reason = QString::fromUtf8(ca_strerror(error));
    QTextStream(stderr) << "sentrok: звук недоступен (" << reason << ")\n";
    emit unavailable(reason);
}

}  // namespace sentrok
