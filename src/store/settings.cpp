#include "store/settings.h"

#include "common/conversions.h"
#include "store/database.h"

namespace sentrok {

namespace {

double number(const QVariant& v)
{
    if (v.isNull()) return 0;
    bool ok = false;
    const double d = v.toDouble(&ok);
    return ok ? d : 0;
}

std::int32_t whole(const QVariant& v) { return toInt32(number(v)).value_or(0); }

template <std::size_t N>
WindowSettings<N> readWindow(const Result& r, const char* prefix, const char* columnPrefix)
{
    WindowSettings<N> s;
    const QString p = QString::fromLatin1(prefix);
    s.geometry.top = number(r.field(p + QStringLiteral("_top")));
    s.geometry.left = number(r.field(p + QStringLiteral("_left")));
    s.geometry.width = number(r.field(p + QStringLiteral("_width")));
    s.geometry.height = number(r.field(p + QStringLiteral("_height")));
    for (std::size_t i = 0; i < N; ++i)
        s.columns[i] = whole(r.field(QString::fromLatin1(columnPrefix) + QString::number(i + 1)));
    return s;
}

template <std::size_t N>
void saveWindow(Database& db, const WindowSettings<N>& s, const char* prefix,
                const char* columnPrefix)
{
    const QString p = QString::fromLatin1(prefix);
    QString sql =
        QStringLiteral("update options set %1_top=?,%1_left=?,%1_width=?,%1_height=?").arg(p);
    QVariantList values{double(float(s.geometry.top)), double(float(s.geometry.left)),
                        double(float(s.geometry.width)), double(float(s.geometry.height))};
    for (std::size_t i = 0; i < N; ++i) {
        sql += QStringLiteral(",%1%2=?").arg(QString::fromLatin1(columnPrefix)).arg(i + 1);
        values << s.columns[i];
    }
    db.execute(sql, values);
}

}  // namespace

MainSettings readMainSettings(Database& db)
{
    Result r = db.execute(QStringLiteral("select * from options"));
    if (r.eof())
        throw DbError(dbcode::Empty, QStringLiteral("в таблице options нет строки настроек"));
    MainSettings s;
    const QVariant refresh = r.field(QStringLiteral("refresh_time"));
    if (refresh.isNull())
        throw DbError(dbcode::Mismatch, QStringLiteral("интервал проверки refresh_time не задан"));
    const auto minutes = numericValue(refresh.toString());
    const auto seconds = minutes ? toInt32(*minutes * 60) : std::nullopt;
    if (!seconds)
        throw DbError(dbcode::Mismatch,
                      QStringLiteral("интервал проверки refresh_time не число: \"%1\"")
                          .arg(refresh.toString()));
    s.checkInterval = *seconds;
    s.sndUp = r.field(QStringLiteral("snd_up"));
    s.sndDown = r.field(QStringLiteral("snd_down"));
    s.window = readWindow<5>(r, "sentrok", "pcol");
    return s;
}

WindowSettings<3> readOutageWindowSettings(Database& db)
{
    Result r = db.execute(QStringLiteral("select * from options"));
    if (r.eof()) return {};
    return readWindow<3>(r, "nocon", "ncol");
}

std::optional<EditedSettings> readEditedSettings(Database& db)
{
    Result r = db.execute(QStringLiteral("select refresh_time,snd_up,snd_down from options"));
    if (r.eof()) return std::nullopt;
    const auto text = [&](const char* column) {
        const QVariant v = r.field(QString::fromLatin1(column));
        return v.isNull() ? QString() : v.toString();
    };
    return EditedSettings{text("refresh_time"), text("snd_up"), text("snd_down")};
}

void saveEditedSettings(Database& db, std::int32_t intervalMinutes, const QString& sndUp,
                        const QString& sndDown)
{
    db.execute(QStringLiteral("update options set refresh_time=?, snd_up=?,snd_down=?"),
               {intervalMinutes, sndUp, sndDown});
}

void setCheckIntervalMinutes(Database& db, std::int32_t minutes)
{
    db.execute(QStringLiteral("update options set refresh_time=?"), {minutes});
}

void saveMainWindowSettings(Database& db, const WindowSettings<5>& s)
{
    saveWindow(db, s, "sentrok", "pcol");
}

void saveOutageWindowSettings(Database& db, const WindowSettings<3>& s)
{
    saveWindow(db, s, "nocon", "ncol");
}

}  // namespace sentrok
