#pragma once

#include "alerts/sound.h"

#include <QObject>

#include <memory>

struct ca_context;

namespace sentrok {

// Sound through libcanberra, the desktop's event-sound library.
class CanberraPlayer final : public QObject, public SoundPlayer {
    Q_OBJECT
public:
    explicit CanberraPlayer(QObject* parent = nullptr);
    ~CanberraPlayer() override;

    void play(const QString& path) override;

signals:
    // Emitted once when no sound can be played at all (no sound server, no device).
    void unavailable(const QString& reason);

private:
    enum class Stage { File, Warning, Bell };
    struct Request;
    static void finished(ca_context*, uint32_t, int error, void* userdata);
    void start(const QString& path, Stage stage);
    void failed(Stage stage, int error, quint64 generation);

    struct ContextDeleter {
        void operator()(ca_context* c) const;
    };
    std::unique_ptr<ca_context, ContextDeleter> m_context;
    quint64 m_generation = 0;
    bool m_toldUnavailable = false;
};

}  // namespace sentrok
