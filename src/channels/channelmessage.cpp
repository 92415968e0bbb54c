#include "channels/channelmessage.h"

#include "common/datetext.h"

namespace sentrok {

ChannelMessage channelMessage(const QString& alertText, const QDateTime& time,
                              const QString& monitor, QList<ChannelHost> down,
                              QList<ChannelHost> up)
{
    // The mail's body: the date line ends in a colon and two blanks, then the alert text as is.
    QString text = generalDateText(time) + QStringLiteral(":  \r\n") + alertText;
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return {std::move(text), std::move(down), std::move(up), time, monitor};
}

ChannelMessage channelTestMessage(const QDateTime& time, const QString& monitor)
{
    return {
        generalDateText(time) + QStringLiteral(":  \n") + kChannelTestText, {}, {}, time, monitor};
}

QString isoTimeWithOffset(const QDateTime& time)
{
    const int offset = time.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    return time.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")) + (offset < 0 ? u'-' : u'+') +
           QStringLiteral("%1:%2")
               .arg(minutes / 60, 2, 10, QLatin1Char('0'))
               .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

}  // namespace sentrok
