#include "channels/channelreports.h"

#include "common/conversions.h"

#include <QTextStream>

namespace sentrok {

QString moreChannelErrorsText(int n)
{
    const int tens = n % 100, units = n % 10;
    const char16_t* noun = u"ошибок";
    if (units == 1 && tens != 11)
        noun = u"ошибка";
    else if (units >= 2 && units <= 4 && (tens < 12 || tens > 14))
        noun = u"ошибки";
    return QStringLiteral("(и ещё %1 %2 отправки в каналы)").arg(n).arg(QString::fromUtf16(noun));
}

ChannelReports::ChannelReports(MessageBoxes* boxes, QObject* parent)
    : QObject(parent), m_boxes(boxes)
{
}

void ChannelReports::failed(qint64 channelId, const QString& text)
{
    QTextStream(stderr) << "sentrok: " << printableLine(text) << "\n";
    m_failing[channelId] = text;
    m_lastFailed = channelId;
    showBox(text);
    emit panelChanged(panelText());
}

void ChannelReports::delivered(qint64 channelId)
{
    if (m_failing.erase(channelId)) emit panelChanged(panelText());
}

QString ChannelReports::panelText() const
{
    if (m_failing.empty()) return {};
    const auto last = m_failing.find(m_lastFailed);
    const QString& text = last != m_failing.end() ? last->second : m_failing.begin()->second;
    if (m_failing.size() == 1) return text;
    return QStringLiteral("Каналов оповещения с ошибками: %1. %2").arg(m_failing.size()).arg(text);
}

void ChannelReports::showBox(const QString& text)
{
    if (!m_boxes) return;
    if (m_box && m_box->isOpen()) {
        ++m_more;
        m_box->setText(m_boxText + QStringLiteral("\r\n\r\n") + moreChannelErrorsText(m_more));
        return;
    }
    m_boxText = text;
    m_more = 0;
    m_box = m_boxes->notice({text, kTitle, MsgButtons::Ok, MsgIcon::Stop});
}

}  // namespace sentrok
