#pragma once

#include "common/messages.h"

#include <QObject>
#include <QString>

#include <map>
#include <memory>

namespace sentrok {

// What the user learns of the channels' failures, as of the mail's: each on standard error (the
// journal of sentrok-monitor), one error box at a time (failures while it is open count up in
// it), and a line for the status bar that stays while a channel keeps failing and goes when
// every channel has delivered since.
class ChannelReports : public QObject {
    Q_OBJECT
public:
    inline static const QString kTitle = QStringLiteral("Ошибка!!!");

    // boxes: null where there is no window to show a box in.
    explicit ChannelReports(MessageBoxes* boxes, QObject* parent = nullptr);

    void failed(qint64 channelId, const QString& text);
    void delivered(qint64 channelId);
    // Empty while no channel is failing.
    QString panelText() const;

signals:
    void panelChanged(const QString& text);

private:
    void showBox(const QString& text);

    MessageBoxes* m_boxes;
    std::map<qint64, QString> m_failing;  // the last failure of each channel failing now
    qint64 m_lastFailed = 0;
    std::unique_ptr<Notice> m_box;
    QString m_boxText;  // what the open box said first
    int m_more = 0;     // failures since
};

// "(и ещё 3 ошибки отправки в каналы)", the noun agreeing with the number.
QString moreChannelErrorsText(int n);

}  // namespace sentrok
