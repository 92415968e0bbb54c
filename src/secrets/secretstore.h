#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

namespace sentrok {

// Where the mail server's password is kept: never in the database file. The desktop keyring
// (Secret Service, through QtKeychain) where one answers on the session bus; otherwise a file
// that only its owner may read (mode 0600) in the user's configuration folder. The choice is
// made when the program runs, and the user is told which one holds the password.
//
// The file is refused with words, read or written, when others may read it or its folder, when it
// is not a plain file of one name (a link, a device), when another user owns it, or when it is
// larger than 1 MB. It is written anew and renamed over the old one. A file that is not the JSON
// written here is never overwritten: the next save sets it aside as ".corrupt" and says so.
//
// Reads and writes call back later, on the thread of this object: a keyring may take its time
// (or ask the user to unlock it), and the window must not wait for it.
class SecretStore : public QObject {
    Q_OBJECT
public:
    enum class Place { Keyring, File };
    // The password, or nothing and the reason (nothing stored is not an error: empty reason).
    using ReadDone = std::function<void(std::optional<QString> password, QString error)>;
    // Empty on success, else what went wrong; `where` says which place took it.
    using WriteDone = std::function<void(QString error, Place where)>;

    static constexpr const char* kService = "sentrok-mail";

    // The keyring when a Secret Service is on the session bus (running or startable).
    static Place availablePlace();
    // fileFolder: where the file lives; empty: "sentrok" in the user's configuration folder.
    explicit SecretStore(Place place = availablePlace(), const QString& fileFolder = {},
                         QObject* parent = nullptr);

    Place place() const { return m_place; }
    QString filePath() const { return m_file; }
    // For the user: where a password saved now ends up.
    QString describe(Place where) const;

    // The key of the password for one login on one server.
    static QString keyFor(const QString& login, const QString& server);

    void read(const QString& key, ReadDone done);
    void write(const QString& key, const QString& password, WriteDone done);

private:
    // What the file holds, or why it cannot be used.
    struct FileContents {
        QJsonObject all{};
        QString error{};  // not empty: refused (or corrupt)
        bool exists = false;
        bool corrupt = false;  // there, ours and private, but not the JSON written here
        bool looseFolder = false;
        FileContents& refuse(const QString& why)
        {
            error = why;
            return *this;
        }
    };
    FileContents loadFile() const;
    std::optional<QString> readFile(const QString& key, QString* error) const;
    QString writeFile(const QString& key, const QString& password);
    std::optional<QString> setAside() const;

    Place m_place;
    QString m_file;
    QString m_setAside;  // where the last write put a corrupt file it found
};

}  // namespace sentrok
