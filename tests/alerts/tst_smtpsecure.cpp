// The extended mail dialogue against Debian's aiosmtpd on loopback: STARTTLS, TLS from the
// first byte, AUTH PLAIN and LOGIN, a pinned self-signed certificate made here, and every way
// it must refuse; then the same through sentrok-db, watching where the password goes.

#include "alerts/mailalert.h"
#include "secrets/secretstore.h"
#include "smtpsink.h"
#include "store/mailsettings.h"
#include "support/fakes.h"
#include "support/testdb.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTest>

using namespace sentrok;
using namespace sentrok::test;
using Outcome = MailAlert::Outcome;

namespace {

constexpr int kWaitMs = 15000;
const QString kUser = QStringLiteral("monitor");
const QString kPassword = QStringLiteral("s3cret-пароль");
const QString kText =
    QStringLiteral("NO CONNECT\r\nШлюз[10.0.0.2]\r\n.hidden[10.0.0.3]\r\n\r\nCONNECT\r\n");

// Everything one dialogue needs: a recipient row with the server settings, a password file of
// its own, and the alert.
struct Rig {
    TestFolder folder;
    FakeMessageBoxes boxes;
    FakeClock clock;
    QTemporaryDir secretsFolder;
    SecretStore secrets{SecretStore::Place::File, secretsFolder.path()};
    MailAlert alert{folder.db(), boxes, clock};
    QSignalSpy finished{&alert, &MailAlert::finished};

    Rig(quint16 port, const QString& security, const QString& login, const QString& pin,
        const QString& password)
    {
        folder.db().execute(
            QStringLiteral("insert into emails (smtp,[from],email,[desc]) values "
                           "('127.0.0.1','monitor@example.org','admin@example.org','')"));
        QString why;
        const auto options =
            checkMailServer({QString::number(port), security, login, pin}, 25, &why);
        if (!options) qFatal("bad test settings: %s", qPrintable(why));
        saveMailServer(folder.db(), *options, {});
        alert.setSecrets(&secrets);
        if (!password.isEmpty()) {
            bool done = false;
            secrets.write(SecretStore::keyFor(login, QStringLiteral("127.0.0.1")), password,
                          [&](const QString&, SecretStore::Place) { done = true; });
            if (!QTest::qWaitFor([&] { return done; }, kWaitMs)) qFatal("password not written");
        }
    }
    bool send()
    {
        const qsizetype before = finished.size();
        alert.SendAlert(kText);
        return QTest::qWaitFor([&] { return finished.size() > before; }, kWaitMs);
    }
    Outcome outcome(int i = 0) const { return finished.at(i).at(0).value<Outcome>(); }
};

QStringList names(const QJsonArray& headers)
{
    QStringList out;
    for (const QJsonValue& h : headers) out << h.toArray().at(0).toString();
    return out;
}

}  // namespace

class TestSmtpSecure : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void delivered_data();
    void delivered();
    void refused_data();
    void refused();
    void commandLineKeepsThePasswordOut();
    void commandLineRefusesBadInput_data();
    void commandLineRefusesBadInput();
    void certificateOfATrustedAuthority_data();
    void certificateOfATrustedAuthority();

private:
    QStringList sinkArgs(const QString& mode, const QString& mechanisms,
                         bool authInClear = false) const;
    bool makeAuthority();
    QProcess* tool(const QStringList& args, const QString& input = {});

    QTemporaryDir m_dir;
    QString m_cert, m_key;
    QString m_pin;  // as openssl prints it: upper case with colons
    QString m_caCert, m_signedCert, m_signedKey,
        m_signedPin;  // a test authority and a server of it
    QProcessEnvironment m_toolEnv;
};

void TestSmtpSecure::initTestCase()
{
    QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    if (const QString why = SmtpSink::unavailable(); !why.isEmpty()) QSKIP(qPrintable(why));
    if (!QSslSocket::supportsSsl()) QSKIP("Qt has no TLS backend here");
    m_cert = m_dir.filePath("cert.pem");
    m_key = m_dir.filePath("key.pem");
    QProcess openssl;
    openssl.start("openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt",
                              "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", m_key, "-out",
                              m_cert, "-days", "2", "-subj", "/CN=sink.test"});
    QVERIFY2(openssl.waitForFinished(kWaitMs) && openssl.exitCode() == 0,
             "openssl could not make the test certificate");
    openssl.start("openssl", {"x509", "-in", m_cert, "-noout", "-fingerprint", "-sha256"});
    QVERIFY(openssl.waitForFinished(kWaitMs) && openssl.exitCode() == 0);
    m_pin = QString::fromLatin1(openssl.readAllStandardOutput()).trimmed().section(u'=', 1);
    QCOMPARE(m_pin.size(), 95);  // 32 bytes, two digits each, 31 colons

    // The tool finds no keyring here (no session bus): the password file under a folder of
    // the test's own is what it must use.
    m_toolEnv = QProcessEnvironment::systemEnvironment();
    m_toolEnv.remove("DBUS_SESSION_BUS_ADDRESS");
    m_toolEnv.insert("XDG_CONFIG_HOME", m_dir.filePath("config"));
}

QStringList TestSmtpSecure::sinkArgs(const QString& mode, const QString& mechanisms,
                                     bool authInClear) const
{
    QStringList args{"--mode", mode, "--cert", m_cert, "--key", m_key};
    if (!mechanisms.isEmpty())
        args << "--user" << kUser << "--password" << kPassword << "--mechanisms" << mechanisms;
    if (authInClear) args << "--auth-in-clear";
    return args;
}

void TestSmtpSecure::delivered_data()
{
    QTest::addColumn<QString>("sinkMode");
    QTest::addColumn<QString>("offered");  // AUTH mechanisms; empty: no AUTH
    QTest::addColumn<QString>("security");
    QTest::addColumn<QString>("used");  // the mechanism the client must pick; empty: no login
    QTest::newRow("STARTTLS, AUTH PLAIN") << "starttls"
                                          << "PLAIN"
                                          << "starttls"
                                          << "PLAIN";
    QTest::newRow("STARTTLS, AUTH LOGIN") << "starttls"
                                          << "LOGIN"
                                          << "starttls"
                                          << "LOGIN";
    QTest::newRow("TLS on connect, both offered") << "tls"
                                                  << "PLAIN,LOGIN"
                                                  << "tls"
                                                  << "PLAIN";
    QTest::newRow("TLS on connect, no user") << "tls"
                                             << ""
                                             << "tls"
                                             << "";
    QTest::newRow("none with a user: AUTH in clear") << "plain"
                                                     << "PLAIN"
                                                     << "none"
                                                     << "PLAIN";
}

void TestSmtpSecure::delivered()
{
    QFETCH(QString, sinkMode);
    QFETCH(QString, offered);
    QFETCH(QString, security);
    QFETCH(QString, used);
    const bool clear = security == u"none";
    SmtpSink sink;
    QVERIFY2(sink.start(sinkArgs(sinkMode, offered, clear)), qPrintable(sink.error()));
    const QString login = used.isEmpty() ? QString() : kUser;
    Rig rig(sink.port(), security, login, m_pin, login.isEmpty() ? QString() : kPassword);
    if (clear) QTest::ignoreMessage(QtWarningMsg, QRegularExpression("открытым текстом"));

    QVERIFY(rig.send());
    QCOMPARE(rig.outcome(), Outcome::Delivered);
    QVERIFY(rig.alert.extended());
    QVERIFY(rig.boxes.told.isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(sink.hasMessage(), kWaitMs);

    const QJsonObject session = sink.session();
    QCOMPARE(session["ehlo"].toArray().first().toString(), QStringLiteral("example.org"));
    QCOMPARE(session["tls_at_mail"].toArray(), QJsonArray({!clear}));
    const QJsonArray auth = session["auth"].toArray();
    QCOMPARE(auth.size(), used.isEmpty() ? 0 : 1);
    if (!used.isEmpty()) {
        QCOMPARE(auth[0]["mechanism"].toString(), used);
        QCOMPARE(auth[0]["login"].toString(), kUser);
        QVERIFY(auth[0]["ok"].toBool());
        QCOMPARE(auth[0]["encrypted"].toBool(), !clear);
    }

    const QJsonObject got = sink.message();
    QCOMPARE(got["mail_from"].toString(), QStringLiteral("monitor@example.org"));
    QCOMPARE(got["rcpt_tos"].toArray(), QJsonArray({"admin@example.org"}));
    QVERIFY(got["mail_options"].toArray().contains("BODY=8BITMIME"));
    QCOMPARE(names(got["headers"].toArray()),
             QStringList({"Subject", "From", "To", "Date", "Message-ID", "MIME-Version",
                          "Content-Type", "Content-Transfer-Encoding"}));
    QCOMPARE(got["charset"].toString(), QStringLiteral("windows-1251"));
    QCOMPARE(got["text"].toString(),
             QStringLiteral("07.12.2026 20:07:11:  \r\n") + kText + QStringLiteral("\r\n"));
    // Python's own parser reads the Date as the moment the clock gave.
    QCOMPARE(QDateTime::fromString(got["date_utc"].toString(), Qt::ISODate), rig.clock.now());

    // A second mail: a Message-ID of its own.
    QVERIFY(rig.send());
    QCOMPARE(rig.outcome(1), Outcome::Delivered);
    QTRY_COMPARE_WITH_TIMEOUT(sink.message()["message_ids"].toArray().size(), 2, kWaitMs);
    const QJsonArray ids = sink.message()["message_ids"].toArray();
    QVERIFY(ids[0].toString().contains(QRegularExpression("^<[^<>@ ]+@example\\.org>$")));
    QVERIFY(ids[0] != ids[1]);
}

void TestSmtpSecure::refused_data()
{
    QTest::addColumn<QString>("sinkMode");
    QTest::addColumn<QString>("security");
    QTest::addColumn<QString>("pin");  // "ok": the sink's own
    QTest::addColumn<QString>("password");
    QTest::addColumn<QStringList>("words");  // all in the one error box
    QTest::addColumn<int>("authTries");
    const QString other(64, u'a');
    QTest::newRow("wrong password")
        << "starttls"
        << "starttls"
        << "ok"
        << "wrong-пароль"
        << QStringList{"не принял имя пользователя или пароль", "Ответ сервера: 535"} << 1;
    QTest::newRow("certificate not the pinned one")
        << "starttls"
        << "starttls" << other << kPassword << QStringList{"не совпадает", "AA:AA:AA"} << 0;
    QTest::newRow("TLS, certificate not the pinned one")
        << "tls"
        << "tls" << other << kPassword << QStringList{"не совпадает"} << 0;
    QTest::newRow("self-signed and no pin")
        << "tls"
        << "tls"
        << "" << kPassword << QStringList{"не прошёл проверку", "ok"} << 0;
    QTest::newRow("STARTTLS asked, not offered")
        << "plain"
        << "starttls"
        << "ok" << kPassword << QStringList{"не предлагает STARTTLS"} << 0;
    QTest::newRow("TLS asked, the server speaks plain")
        << "plain"
        << "tls"
        << "ok" << kPassword << QStringList{"Письмо не отправлено: почтовый сервер 127.0.0.1"} << 0;
}

void TestSmtpSecure::refused()
{
    QFETCH(QString, sinkMode);
    QFETCH(QString, security);
    QFETCH(QString, pin);
    QFETCH(QString, password);
    QFETCH(QStringList, words);
    QFETCH(int, authTries);
    SmtpSink sink;
    QVERIFY2(sink.start(sinkArgs(sinkMode, "PLAIN,LOGIN")), qPrintable(sink.error()));
    Rig rig(sink.port(), security, kUser, pin == u"ok" ? m_pin : pin, password);

    QVERIFY(rig.send());
    QVERIFY(rig.outcome() != Outcome::Delivered);
    QCOMPARE(rig.boxes.notices.size(), 1);
    const Message& box = rig.boxes.notices[0]->message;
    QCOMPARE(box.title, QStringLiteral("Ошибка!!!"));
    QCOMPARE(box.icon, MsgIcon::Stop);
    for (QString w : words) {
        if (w == u"ok") w = m_pin;  // the fingerprint to pin, offered to the user
        QVERIFY2(box.text.contains(w), qPrintable(box.text));
    }
    QVERIFY(!box.text.contains(password));
    QCOMPARE(rig.alert.lastError(), box.text);

    // Nothing of the mail went out, encrypted or not, and the password only where asked for.
    QTest::qWait(300);
    const QJsonObject session = sink.session();
    QCOMPARE(session["auth"].toArray().size(), authTries);
    QCOMPARE(session["mail"].toArray().size(), 0);
    QVERIFY(!sink.hasMessage());
}

QProcess* TestSmtpSecure::tool(const QStringList& args, const QString& input)
{
    auto* p = new QProcess(this);
    p->setProcessEnvironment(m_toolEnv);
    p->start(qEnvironmentVariable("SENTROK_BIN_DIR") + "/sentrok-db", args);
    if (!p->waitForStarted(kWaitMs)) return p;
    if (!input.isNull()) p->write(input.toUtf8());
    p->closeWriteChannel();
    if (!QTest::qWaitFor([&] { return p->state() == QProcess::NotRunning; }, kWaitMs)) p->kill();
    return p;
}

void TestSmtpSecure::commandLineKeepsThePasswordOut()
{
    SmtpSink sink;
    QVERIFY2(sink.start(sinkArgs("starttls", "LOGIN")), qPrintable(sink.error()));
    const QString db = m_dir.filePath("cli.mdb");
    QFile::remove(db);
    QCOMPARE(tool({"create", db})->exitCode(), 0);
    {
        Database d(db, Database::uniqueName("cli"));
        d.execute(
            "insert into emails (smtp,[from],email,[desc]) values "
            "('127.0.0.1','monitor@example.org','admin@example.org','')");
    }

    QProcess* set = tool({"mail", db, "--port", QString::number(sink.port()), "--security",
                          "starttls", "--user", kUser, "--password-stdin", "--pin", m_pin},
                         kPassword + "\n");
    QCOMPARE(set->exitCode(), 0);
    const QString told = QString::fromUtf8(set->readAllStandardOutput());
    const QString file = m_dir.filePath("config/sentrok/mail-passwords.json");
    QVERIFY2(told.contains(file), qPrintable(told));  // the user learns where it went
    QCOMPARE(QFile::permissions(file),                // group and others: nothing
             QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);

    QProcess* test = tool({"mail", db, "--test"});
    const QByteArray err = test->readAllStandardError();
    QCOMPARE(test->exitCode(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(sink.hasMessage(), kWaitMs);
    QVERIFY(!err.contains(kPassword.toUtf8()));

    QCOMPARE(tool({"mail", db, "--password-stdin"}, "wrong\n")->exitCode(), 0);
    QProcess* refused = tool({"mail", db, "--test"});
    const QByteArray refusedErr = refused->readAllStandardError();
    QCOMPARE(refused->exitCode(), 1);
    QVERIFY2(refusedErr.contains("535"), refusedErr.constData());
    QVERIFY(!refusedErr.contains("wrong") && !refusedErr.contains(kPassword.toUtf8()));

    // Neither password anywhere in the database's files, in clear or in base64.
    for (const char* suffix : {"", "-wal", "-shm"}) {
        QFile f(db + suffix);
        if (!f.open(QIODevice::ReadOnly)) continue;
        const QByteArray bytes = f.readAll();
        for (const QByteArray& secret : {kPassword.toUtf8(), QByteArray("wrong")}) {
            QVERIFY(!bytes.contains(secret));
            QVERIFY(!bytes.contains(secret.toBase64()));
        }
    }
}

void TestSmtpSecure::commandLineRefusesBadInput_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("why");
    QTest::newRow("port 0") << QStringList{"--port", "0"} << "от 1 до 65535";
    QTest::newRow("port 65536") << QStringList{"--port", "65536"} << "от 1 до 65535";
    QTest::newRow("port abc") << QStringList{"--port", "abc"} << "от 1 до 65535";
    QTest::newRow("security ssl") << QStringList{"--security", "ssl"} << "none, starttls, tls";
    QTest::newRow("pin of 63 digits") << QStringList{"--pin", QString(63, u'a')} << "64";
    QTest::newRow("pin not hex") << QStringList{"--pin", QString(64, u'g')} << "64";
    QTest::newRow("good port with a bad pin")
        << QStringList{"--port", "587", "--pin", "xyz"} << "64";
}

void TestSmtpSecure::commandLineRefusesBadInput()
{
    QFETCH(QStringList, args);
    QFETCH(QString, why);
    const QString db = m_dir.filePath("bad.mdb");
    QFile::remove(db);
    QCOMPARE(tool({"create", db})->exitCode(), 0);
    QCOMPARE(tool({"mail", db, "--port", "2525", "--security", "none"})->exitCode(), 0);

    QProcess* p = tool(QStringList{"mail", db} + args);
    QCOMPARE(p->exitCode(), 1);
    const QString err = QString::fromUtf8(p->readAllStandardError());
    QVERIFY2(err.contains(why) && err.contains("nothing saved"), qPrintable(err));
    Database d(db, Database::uniqueName("bad"));
    QCOMPARE(d.execute("select port,security,pin from emails").field(0).toInt(), 2525);
    QCOMPARE(d.execute("select security from emails").field(0).toString(), QStringLiteral("none"));
    QVERIFY(d.execute("select pin from emails").field(0).isNull());
}

// A certificate signed by an authority of the test's own, for 127.0.0.1; the authority is trusted
// by the test process alone.
bool TestSmtpSecure::makeAuthority()
{
    m_caCert = m_dir.filePath("ca.pem");
    m_signedCert = m_dir.filePath("signed.pem");
    m_signedKey = m_dir.filePath("signed-key.pem");
    const QString caKey = m_dir.filePath("ca-key.pem"), request = m_dir.filePath("signed.csr"),
                  extensions = m_dir.filePath("ext.cnf");
    QFile ext(extensions);
    if (!ext.open(QIODevice::WriteOnly)) return false;
    ext.write(
        "subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n");
    ext.close();
    const QStringList ec{"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
    const QList<QStringList> steps{
        QStringList{"req", "-x509"} + ec +
            QStringList{"-keyout", caKey, "-out", m_caCert, "-days", "2", "-subj",
                        "/CN=Sentrok test authority"},
        QStringList{"req"} + ec +
            QStringList{"-keyout", m_signedKey, "-out", request, "-subj", "/CN=127.0.0.1"},
        {"x509", "-req", "-in", request, "-CA", m_caCert, "-CAkey", caKey, "-CAcreateserial",
         "-out", m_signedCert, "-days", "2", "-extfile", extensions},
        {"x509", "-in", m_signedCert, "-noout", "-fingerprint", "-sha256"}};
    QProcess openssl;
    for (const QStringList& step : steps) {
        openssl.start("openssl", step);
        if (!openssl.waitForFinished(kWaitMs) || openssl.exitCode() != 0) return false;
    }
    m_signedPin = QString::fromLatin1(openssl.readAllStandardOutput()).trimmed().section(u'=', 1);
    return m_signedPin.size() == 95;
}

// The system trusts the server's authority, so the handshake passes without a word; a pin set
// for another certificate must still stop the mail.
void TestSmtpSecure::certificateOfATrustedAuthority_data()
{
    QTest::addColumn<QString>("pin");  // "signed": the server's own
    QTest::addColumn<bool>("delivered");
    QTest::newRow("pinned to another certificate") << QString(64, u'b') << false;
    QTest::newRow("pinned to the server's") << "signed" << true;
    QTest::newRow("no pin: the authority is enough") << "" << true;
}

void TestSmtpSecure::certificateOfATrustedAuthority()
{
    QFETCH(QString, pin);
    QFETCH(bool, delivered);
    if (m_signedPin.isEmpty())
        QVERIFY2(makeAuthority(), "openssl could not make the test authority");
    const QSslConfiguration before = QSslConfiguration::defaultConfiguration();
    QSslConfiguration trusting = before;
    trusting.addCaCertificates(QSslCertificate::fromPath(m_caCert));
    QSslConfiguration::setDefaultConfiguration(trusting);
    SmtpSink sink;
    QVERIFY2(sink.start({"--mode", "tls", "--cert", m_signedCert, "--key", m_signedKey}),
             qPrintable(sink.error()));
    Rig rig(sink.port(), "tls", "", pin == u"signed" ? m_signedPin : pin, "");
    const bool sent = rig.send();
    QSslConfiguration::setDefaultConfiguration(before);
    QVERIFY(sent);
    QCOMPARE(rig.outcome() == Outcome::Delivered, delivered);
    if (delivered) {
        QTRY_VERIFY_WITH_TIMEOUT(sink.hasMessage(), kWaitMs);
        return;
    }
    QCOMPARE(rig.boxes.notices.size(), 1);
    QVERIFY2(rig.boxes.notices[0]->message.text.contains("не совпадает"),
             qPrintable(rig.alert.lastError()));
    QTest::qWait(300);
    QCOMPARE(sink.session()["mail"].toArray().size(), 0);
    QVERIFY(!sink.hasMessage());
}

QTEST_GUILESS_MAIN(TestSmtpSecure)
#include "tst_smtpsecure.moc"
