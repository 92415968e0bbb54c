#pragma once

#include <QString>

namespace sentrok {

class SecretStore;
struct DatabaseUrl;

// A PostgreSQL password may be kept where the mail password is (the keyring, or the owner-only
// file), under this key: the login at the server and database.
QString databasePasswordKey(const DatabaseUrl& url);

// The database to open: for a PostgreSQL URL that names no password, while libpq has none in
// PGPASSWORD either, the URL with the one kept in `store`; otherwise `location` as it is (libpq
// then looks in ~/.pgpass). Waits for the store at most waitMs: called before any window shows.
// `store` null: the system's own, asked only for such a URL. A kept password that could not be
// read (a file refused, a keyring that failed) leaves the URL as it is, with the reason in
// `problem` for the program to tell.
QString withStoredPassword(const QString& location, SecretStore* store = nullptr,
                           int waitMs = 60'000, QString* problem = nullptr);

}  // namespace sentrok
