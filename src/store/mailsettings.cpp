#include "store/mailsettings.h"

#include "store/database.h"

#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlRecord>

namespace sentrok {

namespace {

struct AddedColumn {
    const char* name;
    const char* type;
};
// Nullable, no default: a row written by an older program stays "as before".
constexpr AddedColumn kAdded[] = {
    {"port", "INTEGER"}, {"security", "TEXT"}, {"login", "TEXT"}, {"pin", "TEXT"}};

bool hasServerColumns(Database& db)
{
    const QSqlRecord columns =
        QSqlDatabase::database(db.connectionName(), false).record(QStringLiteral("emails"));
    for (const AddedColumn& c : kAdded)
        if (!columns.contains(QString::fromLatin1(c.name))) return false;
    return true;
}

QString text(const QVariant& v) { return v.isNull() ? QString() : v.toString().trimmed(); }

}  // namespace

QString securityWord(MailSecurity security)
{
    switch (security) {
        case MailSecurity::StartTls:
            return QStringLiteral("starttls");
        case MailSecurity::Tls:
            return QStringLiteral("tls");
        case MailSecurity::None:
            break;
    }
    return QStringLiteral("none");
}

quint16 usualPort(MailSecurity security)
{
    switch (security) {
        case MailSecurity::StartTls:
            return 587;
        case MailSecurity::Tls:
            return 465;
        case MailSecurity::None:
            break;
    }
    return 25;
}

QString pinForDisplay(const QString& pin)
{
    QString out;
    for (qsizetype i = 0; i < pin.size(); i += 2) {
        if (i) out += u':';
        out += pin.mid(i, 2).toUpper();
    }
    return out;
}

std::optional<MailServerOptions> checkMailServer(const MailServerInput& input, quint16 defaultPort,
                                                 QString* error)
{
    const auto refuse = [error](const QString& why) {
        if (error) *error = why;
        return std::nullopt;
    };
    MailServerOptions out;
    const QString security = input.security.trimmed().toLower();
    if (security.isEmpty() || security == u"none")
        out.security = MailSecurity::None;
    else if (security == u"starttls")
        out.security = MailSecurity::StartTls;
    else if (security == u"tls")
        out.security = MailSecurity::Tls;
    else
        return refuse(
            QStringLiteral("Неизвестный способ защиты \"%1\": допустимы none, starttls, tls")
                .arg(input.security.trimmed()));

    const QString port = input.port.trimmed();
    if (port.isEmpty()) {
        out.port = defaultPort;
    } else {
        bool ok = false;
        const int n = port.toInt(&ok);
        if (!ok || n < 1 || n > 65535)
            return refuse(QStringLiteral("Порт должен быть числом от 1 до 65535"));
        out.port = quint16(n);
    }

    out.login = input.login.trimmed();
    if (out.login.contains(QRegularExpression(QStringLiteral("[\\x00-\\x1f]"))))
        return refuse(QStringLiteral("Имя пользователя не должно содержать управляющих знаков"));

    // Certificate viewers show the fingerprint with colons or blanks between the bytes.
    QString pin = input.pin;
    pin.remove(QRegularExpression(QStringLiteral("[:\\s]")));
    static const QRegularExpression hex64(QStringLiteral("^[0-9A-Fa-f]{64}$"));
    if (!pin.isEmpty() && !hex64.match(pin).hasMatch())
        return refuse(
            QStringLiteral("Отпечаток сертификата должен состоять из 64 шестнадцатеричных "
                           "цифр (SHA-256)"));
    out.pin = pin.toLower();
    return out;
}

void addEmailServerColumns(Database& db)
{
    const QSqlRecord columns =
        QSqlDatabase::database(db.connectionName(), false).record(QStringLiteral("emails"));
    for (const AddedColumn& c : kAdded)
        if (!columns.contains(QString::fromLatin1(c.name)))
            db.execute(QStringLiteral("alter table emails add column %1 %2")
                           .arg(QString::fromLatin1(c.name), QString::fromLatin1(c.type)));
}

void upgradeEmailsTable(Database& db)
{
    if (hasServerColumns(db)) return;
    // Looked at again inside the transaction: another program may have just done it.
    db.transaction([&] { addEmailServerColumns(db); });
}

std::optional<RecipientRow> readRecipientRow(Database& db)
{
    const bool upgraded = hasServerColumns(db);
    Result row =
        db.execute(upgraded ? QStringLiteral("select smtp,[from],email,[desc],port,security,"
                                             "login,pin from emails")
                            : QStringLiteral("select smtp,[from],email,[desc] from emails"));
    if (row.eof()) return std::nullopt;
    RecipientRow out;
    out.smtp = row.field(QStringLiteral("SMTP"));
    out.from = row.field(QStringLiteral("FROM"));
    out.email = row.field(QStringLiteral("email"));
    out.desc = row.field(QStringLiteral("desc"));
    if (upgraded) {
        const QVariant port = row.field(QStringLiteral("port"));
        bool ok = false;
        if (!port.isNull()) {
            const int n = port.toInt(&ok);
            // A value no setter would write reads as an impossible port, refused when used.
            out.port = ok ? n : -1;
        }
        out.security = text(row.field(QStringLiteral("security")));
        out.login = text(row.field(QStringLiteral("login")));
        out.pin = text(row.field(QStringLiteral("pin")));
    }
    row.close();
    return out;
}

void saveRecipient(Database& db, const RecipientAddresses& a)
{
    const bool none = db.execute(QStringLiteral("select id from emails")).eof();
    if (none)
        db.execute(QStringLiteral("insert into emails (smtp,[from],email,[desc]) values (?,?,?,?)"),
                   {a.smtp, a.from, a.email, a.desc});
    else
        db.execute(QStringLiteral("update emails set smtp=?,email=?,[desc]=?,[from]=?"),
                   {a.smtp, a.email, a.desc, a.from});
}

void deleteRecipients(Database& db) { db.execute(QStringLiteral("delete from emails")); }

void saveMailServer(Database& db, const MailServerOptions& options,
                    const QVariantList& addressesIfNew)
{
    upgradeEmailsTable(db);
    const QVariantList values{int(options.port), securityWord(options.security),
                              options.login.isEmpty() ? QVariant() : QVariant(options.login),
                              options.pin.isEmpty() ? QVariant() : QVariant(options.pin)};
    db.transaction([&] {
        Result existing = db.execute(QStringLiteral("select id from emails"));
        const bool none = existing.eof();
        existing.close();
        if (none)
            db.execute(QStringLiteral("insert into emails (smtp,[from],email,[desc],port,security,"
                                      "login,pin) values (?,?,?,?,?,?,?,?)"),
                       addressesIfNew + values);
        else
            db.execute(QStringLiteral("update emails set port=?,security=?,login=?,pin=?"), values);
    });
}

}  // namespace sentrok
