#pragma once

#include <QString>
#include <QVariant>

namespace sentrok {

// Plays one sound file in the background. A new request stops the sound still playing; a
// file that cannot be played gives the desktop's default event sound instead.
class SoundPlayer {
public:
    virtual ~SoundPlayer() = default;
    virtual void play(const QString& path) = 0;
};

// The outage and restoration sounds, taken from the program folder. Their paths are fixed at
// start-up; a change saved later takes effect at the next start. The test buttons of the
// administration window play whatever name they are given, at once.
class Sound {
public:
    Sound(SoundPlayer& player, QString programFolder);

    // From the settings row as stored: an empty name gives the folder with a separator, a
    // NULL the folder alone. Either way nothing playable, so the default sound is heard.
    void setNames(const QVariant& sndUp, const QVariant& sndDown);
    QString upPath() const { return m_upPath; }
    QString downPath() const { return m_downPath; }

    void PlayDownSound() { m_player.play(m_downPath); }
    void PlayUpSound() { m_player.play(m_upPath); }
    void PlayTestSound(const QString& name) { m_player.play(compose(name)); }

private:
    QString compose(const QVariant& name) const;
    SoundPlayer& m_player;
    QString m_folder;
    QString m_upPath, m_downPath;
};

}  // namespace sentrok
