#include "secrets/dbpassword.h"

#include "secrets/secretstore.h"
#include "store/database.h"
#include "store/databaseurl.h"
#include "store/engine.h"

#include <QEventLoop>
#include <QTimer>

#include <memory>
#include <optional>

namespace sentrok {

QString databasePasswordKey(const DatabaseUrl& url)
{
    const QString server = QStringLiteral("postgresql://%1:%2/%3")
                               .arg(url.host)
                               .arg(url.port < 0 ? 5432 : url.port)
                               .arg(url.name);
    return SecretStore::keyFor(url.user, server);
}

QString withStoredPassword(const QString& location, SecretStore* store, int waitMs,
                           QString* problem)
{
    DatabaseUrl url;
    try {
        url = DatabaseUrl::parse(location);
    } catch (const DbError&) {
        return location;  // opening it says what is wrong
    }
    if (!Engine::of(url).logsIn() || !url.password.isEmpty() ||
        qEnvironmentVariableIsSet("PGPASSWORD"))
        return location;
    // A keyring that answers after the wait finds this call gone: what it answers then is dropped.
    struct Answer {
        std::optional<QString> password;
        QString error;
        bool given = false;
        QEventLoop loop;
    };
    auto answer = std::make_shared<Answer>();
    std::unique_ptr<SecretStore> own;
    if (!store) store = (own = std::make_unique<SecretStore>()).get();
    store->read(databasePasswordKey(url),
                [answer](std::optional<QString> password, const QString& error) {
                    answer->password = std::move(password);
                    answer->error = error;
                    answer->given = true;
                    answer->loop.quit();
                });
    if (!answer->given) {
        QTimer::singleShot(waitMs, &answer->loop, &QEventLoop::quit);
        answer->loop.exec();
    }
    if (problem) *problem = answer->error;
    const std::optional<QString> kept = answer->password;
    if (!kept || kept->isEmpty()) return location;
    url.password = *kept;
    return url.text(true);
}

}  // namespace sentrok
