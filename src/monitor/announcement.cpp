#include "monitor/announcement.h"

#include "alerts/sound.h"
#include "common/conversions.h"
#include "monitor/monitorview.h"

namespace sentrok {

std::uint32_t colorOf(ChangeKind kind)
{
    switch (kind) {
        case ChangeKind::Down:
            return kColorDown;
        case ChangeKind::Up:
            return kColorUp;
        case ChangeKind::Unreachable:
            return kColorUnreachable;
        case ChangeKind::Maintenance:
            return kColorMaintenance;
    }
    return kColorDown;
}

void showChange(MonitorView& view, const HostChange& c)
{
    // Texts of the database, shown in rows and log lines: no control character goes raw.
    view.PrintStat(printableText(c.host.ip), printableText(c.host.desc), printableText(c.wait),
                   c.reply, colorOf(c.kind));
    if (c.kind == ChangeKind::Maintenance)
        view.setLastRowToolTip(
            QStringLiteral("Обслуживание: %1").arg(printableText(c.maintenance)));
}

void soundChange(Sound& sound, const HostChange& c)
{
    if (c.kind == ChangeKind::Down)
        sound.PlayDownSound();
    else if (c.kind == ChangeKind::Up)
        sound.PlayUpSound();
}

}  // namespace sentrok
