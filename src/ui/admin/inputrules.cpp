#include "ui/admin/inputrules.h"

#include "common/conversions.h"

namespace sentrok {

std::optional<QString> hostRefusal(const QString& ip, const QString& vw, const QString& vn,
                                   const QLocale& locale)
{
    if (ip.trimmed().size() > kMaxHostLength) return kHostTooLong;
    // The probe converts every wait time to a 16-bit time-out, and cannot check a host whose
    // wait is below 0.
    const std::optional<double> wait = numericValue(vw, locale);
    if (!wait || *wait < 0 || !toInt16(vw, locale)) return kWaitOutOfRange;
    // A count the probe keeps (numeric, leading value at least 1) becomes a 16-bit number; any
    // other count is replaced by 1 and so is harmless.
    if (isNumeric(vn, locale) && leadingValue(vn) >= 1 && !toInt16(vn, locale))
        return kCountTooLarge;
    return std::nullopt;
}

IntervalInput intervalInput(const QString& text, const QLocale& locale)
{
    const std::optional<double> value = numericValue(text, locale);
    if (!value) return {0, kIntervalNotNumber};
    const double minutes = roundHalfEven(*value);
    if (minutes < 1 || minutes > kMaxIntervalMinutes) return {0, kIntervalOutOfRange};
    return {std::int32_t(minutes), {}};
}

std::optional<QString> recipientRefusal(const QString& to)
{
    if (to.trimmed().size() > kMaxRecipientLength) return kRecipientTooLong;
    return std::nullopt;
}

}  // namespace sentrok
