#include "alerts/sound.h"

namespace sentrok {

Sound::Sound(SoundPlayer& player, QString programFolder)
    : m_player(player), m_folder(std::move(programFolder))
{
    setNames(QVariant(), QVariant());
}

void Sound::setNames(const QVariant& sndUp, const QVariant& sndDown)
{
    m_upPath = compose(sndUp);
    m_downPath = compose(sndDown);
}

QString Sound::compose(const QVariant& name) const
{
    if (name.isNull()) return m_folder;
    return m_folder + u'/' + name.toString();
}

}  // namespace sentrok
