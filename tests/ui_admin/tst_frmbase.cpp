#include "alerts/sound.h"
#include "common/inputrules.h"
#include "store/database.h"
#include "store/purge.h"
#include "store/reports.h"
#include "support/fakes.h"
#include "support/loopwatch.h"
#include "support/testdb.h"
#include "ui/admin/frmbase.h"
#include "ui/admin/frmmaintenance.h"
#include "ui/admin/frmparent.h"
#include "ui/admin/wrapbutton.h"
#include "ui/controls/units.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QElapsedTimer>
#include <QFile>
#include <QGroupBox>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QTest>

using namespace sentrok;
using namespace sentrok::test;

namespace {

const QStringList kHostBoxes = {"txtIP", "txtDESC", "txtVW", "txtVN", "txtVL", "txtVI", "txtCOLOR"};
const QStringList kRecipientBoxes = {"txtSmtp", "txtFROM", "txtTO", "txtEDesc"};
const QString kRecipientRow = "select smtp||'|'||[from]||'|'||email||'|'||[desc] from emails";
const QString kDuplicate = "Такой ip адрес уже есть в базе";
const QString kIntervalRange = "Интервал должен быть >= 1 и <= разумных пределов";

// A program folder with its database, the window's collaborators and the window.
struct Harness {
    TestFolder folder;
    FakeMessageBoxes boxes;
    RecordingPlayer player;
    Sound sound{player, folder.path()};
    std::unique_ptr<frmBase> w;

    bool load()
    {
        w = std::make_unique<frmBase>(
            AdminWindowDeps{.programFolder = folder.path(), .boxes = &boxes, .sound = &sound});
        return w->Form_Load();
    }
    template <typename T = QWidget>
    T* find(const QString& name) const
    {
        T* control = w->findChild<T*>(name);
        if (!control) qFatal("no control %s", qPrintable(name));
        return control;
    }
    QString text(const QString& box) const { return find<QLineEdit>(box)->text(); }
    QStringList texts(const QStringList& boxes) const
    {
        QStringList out;
        for (const QString& b : boxes) out << text(b);
        return out;
    }
    void type(const QString& box, const QString& text) const
    {
        find<QLineEdit>(box)->setText(text);
    }
    void type(const QStringList& boxes, const QStringList& texts) const
    {
        for (int i = 0; i < boxes.size(); ++i) type(boxes[i], texts[i]);
    }
    void click(const QString& button) const { find<QAbstractButton>(button)->click(); }
    QListWidget* list() const { return find<QListWidget>("lstAdr"); }
    QStringList listed() const
    {
        QStringList out;
        for (int i = 0; i < list()->count(); ++i) out << list()->item(i)->text();
        return out;
    }
    void select(const QString& ip) const { list()->setCurrentRow(int(listed().indexOf(ip))); }
    QString detail() const { return find<QPlainTextEdit>("txtDetail")->toPlainText(); }
    QString allBoxes() const
    {
        QStringList out;
        for (const QLineEdit* e : w->findChildren<QLineEdit*>())
            out << e->objectName() + '=' + e->text();
        return out.join('\n');
    }
    // Everything the window can write, as one text.
    QString snapshot()
    {
        return (folder.column("select refresh_time||'|'||snd_up||'|'||snd_down from options") +
                folder.column(
                    "select id||ip||'|'||[desc]||vw||vn||vl||vi||color from address order by id") +
                folder.column("select 'log='||count(*) from log") +
                folder.column("select 'noconnect='||count(*) from noconnect") +
                folder.column(kRecipientRow))
            .join('\n');
    }
    void addLogs(qint64 host, int checks)
    {
        for (int i = 0; i < checks; ++i)
            folder.db().execute("insert into log (id_ip,time_echo,time_wait) values (?,?,'1000')",
                                {host, i});
        folder.db().execute("insert into noconnect (id_ip) values (?)", {host});
    }
    // A query about one host: the id is bound to every "?" in it.
    QString aboutHost(const QString& sql, qint64 id)
    {
        return folder.scalar(sql, QVariantList(sql.count(u'?'), id));
    }
};

bool is(const Message& m, const QString& text, MsgIcon icon, const QString& title = kAppTitle)
{
    const MsgButtons buttons = icon == MsgIcon::Question ? MsgButtons::YesNo : MsgButtons::Ok;
    return m.text == text && m.title == title && m.icon == icon && m.buttons == buttons;
}

}  // namespace

class TestFrmBase : public QObject {
    Q_OBJECT
private slots:
    void confirmCountEdited_data();
    void confirmCountEdited();
    void maintenanceWindowsAddedAndRemoved_data();
    void maintenanceWindowsAddedAndRemoved();
    void init() { QLocale::setDefault(QLocale::c()); }
    void loadWithEmptyTablesKeepsFormDefaults();
    void loadShowsSettingsFirstRecipientAndOrderedAddresses();
    void loadFailureIsShown_data();
    void loadFailureIsShown();
    void controlsInFramesSitAtWindowPlaces_data();
    void controlsInFramesSitAtWindowPlaces();
    void captionsFitAndNothingOverlaps();
    void listFocusAfterLoadingMarksNoAddress();
    void selectingShowsRecordUnlessItIsGone();
    void clickingSelectedAddressAgainDropsTypedText();
    void add_data();
    void add();
    void addWithOnlyAnAddressWritesDefaults();
    void saveMayGiveAnotherHostsAddress();
    void deleteTakesLogsAlong();
    void noChangesNothing_data();
    void noChangesNothing();
    void withoutShownHostButtonsDoNothing_data();
    void withoutShownHostButtonsDoNothing();
    void unusableHostInputIsRefused_data();
    void unusableHostInputIsRefused();
    void saveSettings_data();
    void saveSettings();
    void noToSaveQuestionStillWritesRecipient();
    void recipientInsertedUpdatedDeletedAndInsertedAgain();
    void purgeEmptiesLogsOnly();
    void purgeRunsBesideTheWindowAndKeepsLaterRows();
    void lockedDatabaseIsToldNotWaitedOn();
    void testButtonsPlayUnsavedText();
    void quotesAndCyrillicRoundTrip();
    void reportsAreOfTheHostShown();
    void databaseFailuresAreShown_data();
    void databaseFailuresAreShown();
    void parentChosen_data();
    void parentChosen();
};

void TestFrmBase::loadWithEmptyTablesKeepsFormDefaults()
{
    Harness h;
    h.folder.db().execute("delete from options");
    QVERIFY(h.load());
    QVERIFY(h.boxes.asked.isEmpty());
    QCOMPARE(h.texts({"txtInt", "txtSoundUp", "txtSoundDown"}),
             QStringList({"10", "up.wav", "down.wav"}));
    QCOMPARE(h.texts(kRecipientBoxes).join(""), QString());
    QCOMPARE(h.texts(QStringList{"txtID"} + kHostBoxes),
             QStringList({"", "", "", "1000", "2", "32", "255", "0"}));
    QCOMPARE(h.list()->count(), 0);
    QCOMPARE(h.detail(), QString());
}

void TestFrmBase::loadShowsSettingsFirstRecipientAndOrderedAddresses()
{
    Harness h;
    h.folder.db().execute("update options set refresh_time=25, snd_up='вверх.wav', snd_down=NULL");
    h.folder.db().execute(
        "insert into emails (smtp,[from],email,[desc]) values "
        "('s1','f1','t1',NULL),('s2','f2','t2','d2')");
    for (const char* ip : {"b.example", "10.0.0.2", "10.0.0.10"}) h.folder.addHost(ip);
    QVERIFY(h.load());
    QCOMPARE(h.texts({"txtInt", "txtSoundUp", "txtSoundDown"}),
             QStringList({"25", "вверх.wav", ""}));
    QCOMPARE(h.texts(kRecipientBoxes), QStringList({"s1", "f1", "t1", ""}));
    QCOMPARE(h.listed(), QStringList({"10.0.0.10", "10.0.0.2", "b.example"}));  // as texts
    QVERIFY(h.list()->selectedItems().isEmpty());
}

void TestFrmBase::loadFailureIsShown_data()
{
    QTest::addColumn<QString>("damage");
    QTest::newRow("no database file") << "";
    QTest::newRow("no host table") << "alter table address rename to hosts";
}

void TestFrmBase::loadFailureIsShown()
{
    QFETCH(QString, damage);
    Harness h;
    if (damage.isEmpty())
        QVERIFY(QFile::remove(h.folder.dbFile()));
    else
        h.folder.db().execute(damage);
    QVERIFY(!h.load());
    QCOMPARE(h.boxes.asked.size(), 1);
    QVERIFY(h.boxes.asked[0].text.startsWith("Ошибка "));
    QCOMPARE(h.boxes.asked[0].icon, MsgIcon::Stop);
    QCOMPARE(QSqlDatabase::connectionNames().filter("frmBase"), QStringList());
    QCOMPARE(QFile::exists(h.folder.dbFile()), !damage.isEmpty());  // never made afresh
}

void TestFrmBase::controlsInFramesSitAtWindowPlaces_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("twips");
    QTest::newRow("lstAdr") << "lstAdr" << QRect(120, 360, 2175, 5130);
    QTest::newRow("Command4 in Frame4 in Frame1") << "Command4" << QRect(2880, 4560, 1215, 615);
    QTest::newRow("txtDetail in Frame4") << "txtDetail" << QRect(4440, 3600, 3735, 1815);
    QTest::newRow("Frame2") << "Frame2" << QRect(0, 5760, 8535, 3495);
    QTest::newRow("cmdSaveOpt in Frame2") << "cmdSaveOpt" << QRect(7200, 8520, 1095, 615);
    QTest::newRow("txtEDesc in Frame3 in Frame2") << "txtEDesc" << QRect(1560, 8640, 4335, 285);
}

void TestFrmBase::controlsInFramesSitAtWindowPlaces()
{
    QFETCH(QString, name);
    QFETCH(QRect, twips);
    Harness h;
    QVERIFY(h.load());
    const QWidget* c = h.find(name);
    QCOMPARE(QRect(c->mapTo(h.w.get(), QPoint()), c->size()),
             pxRect(h.w.get(), twips.x(), twips.y(), twips.width(), twips.height()));
}

void TestFrmBase::captionsFitAndNothingOverlaps()
{
    Harness h;
    QVERIFY(h.load());
    frmBase* w = h.w.get();
    QCOMPARE(w->minimumSize(), QSize(pxX(w, 8535), pxY(w, 9330)));
    QCOMPARE(w->maximumSize(), w->minimumSize());
    for (const QLabel* l : w->findChildren<QLabel*>())
        QVERIFY2(QFontMetrics(l->font()).horizontalAdvance(l->text()) <= l->width() &&
                     QFontMetrics(l->font()).height() <= l->height(),
                 qPrintable(l->objectName()));
    for (const WrapButton* b : w->findChildren<WrapButton*>()) {
        const QRect room = b->captionRect();
        QVERIFY2(room.contains(
                     b->fontMetrics().boundingRect(room, WrapButton::kCaptionFlags, b->text())),
                 qPrintable(b->objectName()));
    }
    QList<QWidget*> containers = {w};
    for (QGroupBox* frame : w->findChildren<QGroupBox*>()) {
        containers << frame;
        QCOMPARE(frame->font().bold(), frame->parentWidget() == w);  // only the outer frames
        QVERIFY(frame->fontMetrics().horizontalAdvance(frame->title()) < frame->width() - 16);
    }
    for (QWidget* container : containers) {
        const QList<QWidget*> c = container->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
        for (int i = 0; i < c.size(); ++i) {
            QVERIFY2(container->rect().contains(c[i]->geometry()), qPrintable(c[i]->objectName()));
            for (int j = i + 1; j < c.size(); ++j)
                QVERIFY2(!c[i]->geometry().intersects(c[j]->geometry()),
                         qPrintable(c[i]->objectName() + " / " + c[j]->objectName()));
        }
    }
}

// The list gets the keyboard focus first; it must not mark an address while the boxes are empty.
void TestFrmBase::listFocusAfterLoadingMarksNoAddress()
{
    Harness h;
    h.folder.addHost("10.0.0.1");
    h.folder.addHost("10.0.0.2");
    QVERIFY(h.load());
    h.w->show();
    QVERIFY(QTest::qWaitForWindowActive(h.w.get()));
    h.list()->setFocus(Qt::TabFocusReason);
    QTRY_VERIFY(h.list()->hasFocus());
    QCOMPARE(h.list()->currentRow(), -1);
    QVERIFY(h.list()->selectedItems().isEmpty());
    QCOMPARE(h.text("txtID"), QString());
}

void TestFrmBase::selectingShowsRecordUnlessItIsGone()
{
    Harness h;
    const qint64 id = h.folder.addHost("10.0.0.1", "первый", "750");
    h.folder.db().execute("update address set vn='3',vl='64',vi='128',color='255' where id=?",
                          {id});
    const qint64 gone = h.folder.addHost("10.0.0.2");
    QVERIFY(h.load());
    h.select("10.0.0.1");
    QCOMPARE(
        h.texts(QStringList{"txtID"} + kHostBoxes),
        QStringList({QString::number(id), "10.0.0.1", "первый", "750", "3", "64", "128", "255"}));
    h.folder.db().execute("delete from address where id=?", {gone});
    const QString shown = h.allBoxes();
    h.select("10.0.0.2");
    QCOMPARE(h.allBoxes(), shown);
    QVERIFY(h.boxes.asked.isEmpty());
}

void TestFrmBase::clickingSelectedAddressAgainDropsTypedText()
{
    Harness h;
    h.folder.addHost("10.0.0.1", "как было");
    QVERIFY(h.load());
    h.w->show();
    QVERIFY(QTest::qWaitForWindowExposed(h.w.get()));
    const QPoint item = h.list()->visualItemRect(h.list()->item(0)).center();
    QTest::mouseClick(h.list()->viewport(), Qt::LeftButton, {}, item);
    h.type("txtDESC", "напечатано");
    QTest::mouseClick(h.list()->viewport(), Qt::LeftButton, {}, item);
    QCOMPARE(h.text("txtDESC"), QString("как было"));
}

void TestFrmBase::add_data()
{
    QTest::addColumn<QString>("ip");
    QTest::addColumn<bool>("added");
    QTest::newRow("new") << "10.0.0.2" << true;
    QTest::newRow("duplicate") << "10.0.0.1" << false;
    QTest::newRow("blank in front: another text") << " 10.0.0.1" << true;
    QTest::newRow("empty") << "" << false;
}

void TestFrmBase::add()
{
    QFETCH(QString, ip);
    QFETCH(bool, added);
    Harness h;
    h.folder.addHost("10.0.0.1");
    QVERIFY(h.load());
    const QString before = h.snapshot();
    h.type({"txtIP", "txtDESC"}, {ip, "описание"});
    h.click("cmdAdd");
    const bool duplicate = ip == "10.0.0.1";
    QCOMPARE(h.boxes.asked.size(), int(duplicate));
    if (duplicate) QVERIFY(is(h.boxes.asked[0], kDuplicate, MsgIcon::Exclamation));
    QCOMPARE(h.listed().contains(ip) && !duplicate, added);
    if (!added) QCOMPARE(h.snapshot(), before);
    QCOMPARE(h.texts({"txtIP", "txtDESC"}),
             added ? QStringList({"", ""}) : QStringList({ip, "описание"}));
}

void TestFrmBase::addWithOnlyAnAddressWritesDefaults()
{
    Harness h;
    QVERIFY(h.load());
    h.type("txtIP", "192.168.1.1");
    h.click("cmdAdd");
    QCOMPARE(
        h.folder.column(
            "select ip||'|'||[desc]||'|'||vw||'|'||vn||'|'||vl||'|'||vi||'|'||color from address"),
        QStringList({"192.168.1.1||1000|2|32|255|0"}));
}

void TestFrmBase::saveMayGiveAnotherHostsAddress()
{
    Harness h;
    const qint64 first = h.folder.addHost("10.0.0.1", "первый");
    const qint64 second = h.folder.addHost("10.0.0.2", "второй");
    QVERIFY(h.load());
    h.select("10.0.0.2");
    h.type({"txtIP", "txtVL"}, {"10.0.0.1", "64"});
    h.click("cmdEdit");
    QVERIFY(is(h.boxes.asked.value(0), "Сохранить изменения ", MsgIcon::Question, "Изменить?"));
    QCOMPARE(h.aboutHost("select ip||[desc]||vl from address where id=?", second),
             QString("10.0.0.1второй64"));
    QCOMPARE(h.listed(), QStringList({"10.0.0.1", "10.0.0.1"}));
    QCOMPARE(h.text("txtID"), QString());
    h.list()->setCurrentRow(1);  // either item shows the first host of that address
    QCOMPARE(h.text("txtID"), QString::number(first));
}

void TestFrmBase::deleteTakesLogsAlong()
{
    Harness h;
    const qint64 gone = h.folder.addHost("10.0.0.1"), kept = h.folder.addHost("10.0.0.2");
    h.addLogs(gone, 5);
    h.addLogs(kept, 3);
    QVERIFY(h.load());
    h.select("10.0.0.1");
    h.click("cmdDel");
    QVERIFY(is(h.boxes.asked.value(0),
               "Вы хотите удалить адрес 10.0.0.1\r\nи всё что с ним связано?", MsgIcon::Question,
               "Удалить?"));
    QCOMPARE(
        h.aboutHost("select (select count(*) from address where id=?)+(select count(*) from log "
                    "where id_ip=?)"
                    "+(select count(*) from noconnect where id_ip=?)",
                    gone),
        QString("0"));
    QCOMPARE(h.aboutHost("select (select count(*) from log where id_ip=?)||(select count(*) from "
                         "noconnect where id_ip=?)",
                         kept),
             QString("31"));
    QCOMPARE(h.listed(), QStringList({"10.0.0.2"}));
    QCOMPARE(h.texts({"txtID", "txtIP"}), QStringList({"", ""}));
}

void TestFrmBase::noChangesNothing_data()
{
    QTest::addColumn<QString>("button");
    for (const char* b : {"cmdEdit", "cmdDel", "cmdDelSMTP", "cmdClearLog"}) QTest::newRow(b) << b;
}

void TestFrmBase::noChangesNothing()
{
    QFETCH(QString, button);
    Harness h;
    h.addLogs(h.folder.addHost("10.0.0.1"), 2);
    h.folder.db().execute("insert into emails (smtp,[from],email,[desc]) values ('s','f','t','d')");
    QVERIFY(h.load());
    h.select("10.0.0.1");
    h.type({"txtIP", "txtSmtp"}, {"10.0.0.7", "новый"});
    const QString before = h.snapshot(), typed = h.allBoxes();
    h.boxes.answerNext(MsgAnswer::No);
    h.click(button);
    QCOMPARE(h.boxes.asked.size(), 1);
    QCOMPARE(h.snapshot(), before);
    QCOMPARE(h.allBoxes(), typed);
}

void TestFrmBase::withoutShownHostButtonsDoNothing_data()
{
    QTest::addColumn<QString>("button");
    for (const char* b : {"cmdEdit", "cmdDel", "Command3", "Command4", "cmdParent"})
        QTest::newRow(b) << b;
}

void TestFrmBase::withoutShownHostButtonsDoNothing()
{
    QFETCH(QString, button);
    Harness h;
    h.addLogs(h.folder.addHost("10.0.0.1"), 2);
    QVERIFY(h.load());
    h.select("10.0.0.1");
    h.click("Command3");
    const QString report = h.detail();
    QVERIFY(!report.isEmpty());
    h.click("cmdClear");  // clears the boxes, not the report
    h.type("txtIP", "10.0.0.1");
    const QString before = h.snapshot();
    h.click(button);
    QVERIFY(h.boxes.asked.isEmpty());
    QCOMPARE(h.snapshot(), before);
    QCOMPARE(h.detail(), report);
}

void TestFrmBase::unusableHostInputIsRefused_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("refusal");  // empty: accepted
    QTest::newRow("add, address of 65") << "cmdAdd"
                                        << "txtIP" << QString(65, u'h') << kHostTooLong;
    QTest::newRow("save, address of 65") << "cmdEdit"
                                         << "txtIP" << QString(65, u'h') << kHostTooLong;
    QTest::newRow("add, wait not a number") << "cmdAdd"
                                            << "txtVW"
                                            << "1 000 мс" << kWaitOutOfRange;
    QTest::newRow("save, wait above 16 bits") << "cmdEdit"
                                              << "txtVW"
                                              << "40000" << kWaitOutOfRange;
    QTest::newRow("add, count above 16 bits") << "cmdAdd"
                                              << "txtVN"
                                              << "32768" << kCountTooLarge;
    QTest::newRow("save, count above 16 bits") << "cmdEdit"
                                               << "txtVN"
                                               << "32768" << kCountTooLarge;
    QTest::newRow("add, number 999") << "cmdAdd"
                                     << "txtIP"
                                     << "999.1.1.1" << kBadIPv4;
    QTest::newRow("save, command after the zone") << "cmdEdit"
                                                  << "txtIP"
                                                  << "fe80::1%eth0;rm" << kBadZone;
    QTest::newRow("add, escape in the description") << "cmdAdd"
                                                    << "txtDESC"
                                                    << "a\x1b[2Jb" << kControlInDesc;
    QTest::newRow("save, line break in the description") << "cmdEdit"
                                                         << "txtDESC"
                                                         << "a\nb" << kControlInDesc;
    QTest::newRow("save, TTL stays free") << "cmdEdit"
                                          << "txtVI"
                                          << "999999"
                                          << "";
    QTest::newRow("add, size stays free") << "cmdAdd"
                                          << "txtVL"
                                          << "abc"
                                          << "";
}

void TestFrmBase::unusableHostInputIsRefused()
{
    QFETCH(QString, button);
    QFETCH(QString, box);
    QFETCH(QString, text);
    QFETCH(QString, refusal);
    Harness h;
    h.folder.addHost("10.0.0.1");
    QVERIFY(h.load());
    if (button == "cmdEdit") h.select("10.0.0.1");
    h.type({"txtIP", box}, {"10.0.0.5", text});
    const QString before = h.snapshot();
    h.click(button);
    if (refusal.isEmpty()) {
        const QString column = box.mid(3).toLower();
        QCOMPARE(h.folder.scalar("select " + column + " from address where ip='10.0.0.5'"), text);
        return;
    }
    QCOMPARE(h.boxes.asked.size(), 1);  // the refusal, before any question
    QVERIFY2(is(h.boxes.asked[0], refusal, MsgIcon::Exclamation),
             qPrintable(h.boxes.asked[0].text));
    QCOMPARE(h.snapshot(), before);
    QCOMPARE(h.text(box), text);
}

void TestFrmBase::saveSettings_data()
{
    QTest::addColumn<QString>("interval");
    QTest::addColumn<QString>("to");
    QTest::addColumn<QString>("refusal");  // empty: accepted
    QTest::addColumn<QString>("stored");
    const QString to = "admin@example.org", to254 = QString(242, u'a') + "@example.org";
    QTest::newRow("abc") << "abc" << to << "Интервал должен быть числом"
                         << "";
    QTest::newRow("0") << "0" << to << kIntervalRange << "";
    QTest::newRow("-5") << "-5" << to << kIntervalRange << "";
    QTest::newRow("0.5 rounds to 0") << "0.5" << to << kIntervalRange << "";
    QTest::newRow("1.5 rounds to 2") << "1.5" << to << ""
                                     << "2";
    QTest::newRow("1") << "1" << to << ""
                       << "1";
    QTest::newRow("largest whose seconds fit 32 bits") << "35791394" << to << ""
                                                       << "35791394";
    QTest::newRow("seconds beyond 32 bits") << "35791395" << to << kIntervalRange << "";
    QTest::newRow("recipient of 255") << "5"
                                      << "b" + to254 << kRecipientTooLong << "";
    QTest::newRow("recipient with a line break") << "5"
                                                 << "a@x\r\nRCPT TO:<b@y>" << kControlInMail << "";
    QTest::newRow("recipient of 254 and blanks") << "5"
                                                 << " " + to254 + " "
                                                 << ""
                                                 << "5";
}

void TestFrmBase::saveSettings()
{
    QFETCH(QString, interval);
    QFETCH(QString, to);
    QFETCH(QString, refusal);
    QFETCH(QString, stored);
    Harness h;
    QVERIFY(h.load());
    h.type({"txtInt", "txtSoundUp", "txtTO"}, {interval, "u2.wav", to});
    const QString before = h.snapshot();
    h.click("cmdSaveOpt");
    QCOMPARE(h.boxes.asked.size(), 1);
    if (!refusal.isEmpty()) {
        QVERIFY2(is(h.boxes.asked[0], refusal, MsgIcon::Exclamation),
                 qPrintable(h.boxes.asked[0].text));
        QCOMPARE(h.snapshot(), before);  // the recipient neither
        QCOMPARE(h.text("txtInt"), interval);
        return;
    }
    QCOMPARE(
        h.folder.scalar("select refresh_time||'|'||typeof(refresh_time)||'|'||snd_up from options"),
        stored + "|integer|u2.wav");
    QCOMPARE(h.folder.column("select email from emails"), QStringList({to}));
}

void TestFrmBase::noToSaveQuestionStillWritesRecipient()
{
    Harness h;
    QVERIFY(h.load());
    const QString settings = h.snapshot().section('\n', 0, 0);
    h.type({"txtInt", "txtSoundDown"}, {"45", "тревога.wav"});
    const QStringList recipient = {"smtp.example.org", "s@example.org", "a@example.org",
                                   "дежурный"};
    h.type(kRecipientBoxes, recipient);
    h.boxes.answerNext(MsgAnswer::No);
    h.click("cmdSaveOpt");
    QVERIFY(is(h.boxes.asked.value(0),
               "Сохранить изменения?\r\nИзменения вступят в силу после \r\nперезапуска программы",
               MsgIcon::Question, "Сохранить?"));
    QCOMPARE(h.snapshot().section('\n', 0, 0), settings);
    QCOMPARE(h.folder.column(kRecipientRow), QStringList({recipient.join('|')}));

    // Without a settings row only the recipient can be saved.
    h.folder.db().execute("delete from options");
    h.click("cmdSaveOpt");
    QCOMPARE(h.folder.scalar("select count(*) from options"), QString("0"));
}

void TestFrmBase::recipientInsertedUpdatedDeletedAndInsertedAgain()
{
    Harness h;
    QVERIFY(h.load());
    h.type({"txtSmtp", "txtTO"}, {"smtp.one", "one@x"});
    h.click("cmdSaveOpt");
    h.type("txtSmtp", "smtp.two");
    h.click("cmdSaveOpt");
    QCOMPARE(h.folder.column(kRecipientRow), QStringList({"smtp.two||one@x|"}));
    h.type(kRecipientBoxes, {"", "", "", ""});
    h.click("cmdSaveOpt");  // empty boxes are empty texts, not missing values
    QCOMPARE(h.folder.column(
                 "select quote(smtp)||quote([from])||quote(email)||quote([desc]) from emails"),
             QStringList({"''''''''"}));

    h.type(kRecipientBoxes, {"s", "f", "t", "d"});
    h.click("cmdDelSMTP");
    QVERIFY(is(h.boxes.asked.last(), "Удалить email?", MsgIcon::Question, "Изменить?"));
    QCOMPARE(h.folder.scalar("select count(*) from emails"), QString("0"));
    QCOMPARE(h.texts(kRecipientBoxes).join(""), QString());
    h.type("txtSmtp", "smtp.new");
    h.click("cmdSaveOpt");
    QCOMPARE(h.folder.column(kRecipientRow), QStringList({"smtp.new|||"}));
}

void TestFrmBase::purgeEmptiesLogsOnly()
{
    Harness h;
    const qint64 id = h.folder.addHost("10.0.0.1");
    h.addLogs(id, 4);
    h.addLogs(h.folder.addHost("10.0.0.2"), 2);
    h.folder.db().execute("insert into log_hourly (hour,id_ip,checks) values ('2024-01-01 10',?,4)",
                          {id});
    QVERIFY(h.load());
    h.select("10.0.0.1");
    h.click("Command4");
    const QString report = h.detail();
    const QString kept =
        h.snapshot().replace("log=6", "log=0").replace("noconnect=2", "noconnect=0");
    h.click("cmdClearLog");
    QVERIFY(is(h.boxes.asked.value(0), "Стереть логи из базы?\r\n(База адресов сохранится)",
               MsgIcon::Question, "Очистить?"));
    QTRY_COMPARE(h.w->cursor().shape(), Qt::ArrowCursor);
    QCOMPARE(h.snapshot(), kept);
    QCOMPARE(h.folder.scalar("select count(*) from log_hourly"),
             QStringLiteral("0"));  // they summarise the log
    QCOMPARE(h.detail(), report);
}

void TestFrmBase::purgeRunsBesideTheWindowAndKeepsLaterRows()
{
    Harness h;
    const qint64 id = h.folder.addHost("10.0.0.1");
    h.folder.db().execute(
        "with recursive n(i) as (select 1 union all select i+1 from n where i < 30000) "
        "insert into log (id_ip,time_echo,time_wait) select ?, i, '1000' from n",
        {id});
    QVERIFY(h.load());
    // Another program holds the lock: the purge waits for it, the window does not.
    Database other(h.folder.dbFile(), "other");
    other.execute("BEGIN IMMEDIATE");
    LoopWatch watch;
    h.click("cmdClearLog");
    QCOMPARE(h.w->cursor().shape(), Qt::WaitCursor);
    auto* purge = qApp->findChild<TablePurge*>();
    QVERIFY(purge);
    QSignalSpy bounds(purge, &TablePurge::boundsTaken);
    QTest::qWait(200);
    QVERIFY(bounds.isEmpty());
    QVERIFY(h.find("cmdAdd")->isEnabled());
    other.execute("COMMIT");
    QTRY_COMPARE(bounds.size(), 1);
    // A check recorded after the purge began stays.
    h.folder.db().execute("insert into log (id_ip,time_echo,time_wait) values (?,'7','1000')",
                          {id});
    QTRY_COMPARE_WITH_TIMEOUT(h.w->cursor().shape(), Qt::ArrowCursor, 30000);
    QCOMPARE(h.folder.column("select time_echo from log"), QStringList{"7"});
    QVERIFY2(watch.worst < 1000, qPrintable(QString::number(watch.worst)));
}

void TestFrmBase::lockedDatabaseIsToldNotWaitedOn()
{
    Harness h;
    QVERIFY(h.load());
    Database other(h.folder.dbFile(), "other");
    other.execute("BEGIN EXCLUSIVE");
    LoopWatch watch;
    QElapsedTimer waited;
    waited.start();
    h.type("txtIP", "10.0.0.5");
    h.click("cmdAdd");
    const qint64 elapsed = waited.elapsed();
    other.execute("ROLLBACK");
    QVERIFY(h.boxes.asked.last().text.contains("занята другой программой"));
    QCOMPARE(h.boxes.asked.last().icon, MsgIcon::Stop);
    QCOMPARE(h.text("txtIP"), QStringLiteral("10.0.0.5"));  // nothing typed is lost
    QVERIFY(elapsed >= 1500);                               // it did wait a little first
    QVERIFY2(watch.worst < 1000, qPrintable(QString::number(watch.worst)));
}

void TestFrmBase::testButtonsPlayUnsavedText()
{
    Harness h;
    QVERIFY(h.load());
    h.type({"txtSoundDown", "txtSoundUp"}, {"звуки/пропал.wav", "есть связь.wav"});
    h.click("Command1");
    h.click("Command2");
    QCOMPARE(h.player.played, QStringList({h.folder.path() + "/звуки/пропал.wav",
                                           h.folder.path() + "/есть связь.wav"}));
}

void TestFrmBase::quotesAndCyrillicRoundTrip()
{
    // The address keeps to what DNS allows; the description carries the quotes.
    const QStringList host = {
        "o-host", "Сервер \"главный\"; drop table log; -- o'host", "1000", "2", "32", "255", "0"};
    const QStringList recipient = {"smtp.пример.рф", "d'Artagnan@x", "'\"@x", "it's «ок»"};
    Harness h;
    QVERIFY(h.load());
    h.type(kHostBoxes, host);
    h.click("cmdAdd");
    h.type({"txtSoundUp", "txtSoundDown"}, {"вверх's.wav", "\"вниз\".wav"});
    h.type(kRecipientBoxes, recipient);
    h.click("cmdSaveOpt");
    h.w->close();  // releases the window's connection
    QCOMPARE(QSqlDatabase::connectionNames().filter("frmBase"), QStringList());
    QVERIFY(h.load());  // afresh: shows exactly what was typed
    h.select(host[0]);
    QCOMPARE(h.texts(kHostBoxes), host);
    QCOMPARE(h.texts({"txtSoundUp", "txtSoundDown"}), QStringList({"вверх's.wav", "\"вниз\".wav"}));
    QCOMPARE(h.texts(kRecipientBoxes), recipient);
    h.click("cmdAdd");  // the quoted address is found again by the duplicate test
    QVERIFY(is(h.boxes.asked.last(), kDuplicate, MsgIcon::Exclamation));
    QCOMPARE(h.boxes.asked.size(), 2);
}

void TestFrmBase::reportsAreOfTheHostShown()
{
    QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    Harness h;
    const qint64 a = h.folder.addHost("10.0.0.1"), b = h.folder.addHost("10.0.0.2");
    h.addLogs(a, 3);
    h.addLogs(b, 5);
    QVERIFY(h.load());
    h.select("10.0.0.1");
    h.click("Command3");
    QCOMPARE(h.detail(), checksReport(h.folder.db(), a).replace("\r\n", "\n"));
    QCOMPARE(h.detail().count('\n'), 2 + 3);
    h.select("10.0.0.2");  // the report follows the host now in the boxes
    h.click("Command4");
    QCOMPARE(h.detail(), outagesReport(h.folder.db(), b).replace("\r\n", "\n"));
    QVERIFY(h.detail().endsWith("\t0:00:00\n"));
    QCOMPARE(h.w->cursor().shape(), Qt::ArrowCursor);
}

void TestFrmBase::databaseFailuresAreShown_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QString>("button");
    QTest::newRow("save, recipient table gone") << "drop table emails"
                                                << "cmdSaveOpt";
    QTest::newRow("add, host table renamed") << "alter table address rename to h"
                                             << "cmdAdd";
    QTest::newRow("report, log gone") << "drop table log"
                                      << "Command3";
    QTest::newRow("purge, outages gone") << "drop table noconnect"
                                         << "cmdClearLog";
}

void TestFrmBase::databaseFailuresAreShown()
{
    QFETCH(QString, damage);
    QFETCH(QString, button);
    Harness h;
    h.folder.addHost("10.0.0.1");
    QVERIFY(h.load());
    h.select("10.0.0.1");
    h.type({"txtIP", "txtInt"}, {"10.0.0.3", "77"});
    h.folder.db().execute(damage);
    h.click(button);
    // The purge runs beside the window: its failure is told when it ends.
    const auto shown = [&] {
        return h.boxes.told.isEmpty() ? h.boxes.asked.last() : h.boxes.told.last();
    };
    QTRY_VERIFY(shown().text.startsWith("Ошибка "));
    QCOMPARE(shown().icon, MsgIcon::Stop);
    QCOMPARE(h.folder.scalar("select refresh_time from options"), QString("10"));  // all or nothing
    QCOMPARE(h.w->cursor().shape(), Qt::ArrowCursor);
}

// Router 1, Web 2 behind Router, Mail 3 behind Web. Chosen with the mouse, or by keyboard: text
// typed in the search, Down pressed so many times, then Enter.
void TestFrmBase::parentChosen_data()
{
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("choice");  // as listed; empty: by keyboard
    QTest::addColumn<QString>("search");
    QTest::addColumn<int>("downs");
    QTest::addColumn<QString>("refusal");
    QTest::addColumn<QString>("parents");  // of the three hosts afterwards
    const QString circle =
        "Mail[10.0.0.3] уже зависит от Router[10.0.0.1]: зависимость по кругу не сохранена";
    QTest::newRow("another parent") << "10.0.0.3"
                                    << "Router[10.0.0.1]"
                                    << "" << 0 << ""
                                    << "0,1,1";
    QTest::newRow("none") << "10.0.0.2"
                          << "(ни от какого: связь напрямую)"
                          << "" << 0 << ""
                          << "0,0,2";
    QTest::newRow("a host behind it is refused") << "10.0.0.1"
                                                 << "Mail[10.0.0.3]"
                                                 << "" << 0 << circle << "0,1,2";
    // Web, the current parent, is hidden by the search: Enter takes the match.
    QTest::newRow("search, Enter: the match") << "10.0.0.3"
                                              << ""
                                              << "rou" << 0 << ""
                                              << "0,1,1";
    QTest::newRow("search matching nothing, Enter: none") << "10.0.0.2"
                                                          << ""
                                                          << "zzz" << 0 << ""
                                                          << "0,0,2";
    // Listed: none, Mail, Web. From none, Down twice: Web, which is behind Router.
    QTest::newRow("Down into the list, Down again, Enter")
        << "10.0.0.1"
        << ""
        << "" << 2
        << "Web[10.0.0.2] уже зависит от Router[10.0.0.1]: зависимость по кругу не сохранена"
        << "0,1,2";
    QTest::newRow("Down once, Enter") << "10.0.0.1"
                                      << ""
                                      << "" << 1 << circle << "0,1,2";
}

void TestFrmBase::parentChosen()
{
    QFETCH(QString, shown);
    QFETCH(QString, choice);
    QFETCH(QString, search);
    QFETCH(int, downs);
    QFETCH(QString, refusal);
    QFETCH(QString, parents);
    Harness h;
    h.folder.addHost("10.0.0.1", "Router");
    h.folder.addHost("10.0.0.2", "Web");
    h.folder.addHost("10.0.0.3", "Mail");
    h.folder.db().execute("update address set parent=id-1 where id>1");
    QVERIFY(h.load());
    h.select(shown);
    h.click("cmdParent");
    QPointer<frmParent> chooser = h.w->findChild<frmParent*>();
    QVERIFY(chooser);
    auto* list = chooser->findChild<QListWidget*>("lstParent");
    if (choice.isEmpty()) {
        auto* find = chooser->findChild<QLineEdit*>("txtFind");
        QTest::keyClicks(find, search);
        for (int i = 0; i < downs; ++i) {
            QTest::keyClick(i == 0 ? find : chooser->focusWidget(), Qt::Key_Down);
            QCOMPARE(chooser->focusWidget(), list);
        }
        QTest::keyClick(downs ? list : static_cast<QWidget*>(find), Qt::Key_Return);
    } else {
        const QList<QListWidgetItem*> found = list->findItems(choice, Qt::MatchExactly);
        QCOMPARE(found.size(), 1);
        list->setCurrentItem(found.first());
        chooser->findChild<QAbstractButton*>("cmdSaveParent")->click();
    }
    QCOMPARE(h.folder.column("select coalesce(parent,0) from address order by id").join(','),
             parents);
    if (refusal.isEmpty()) {
        QVERIFY(h.boxes.asked.isEmpty());
        QTRY_VERIFY(!chooser);
        const QString chosen = h.folder.scalar(
            "select coalesce(p.[desc]||'['||p.ip||']','') from address a left join "
            "address p on p.id=a.parent where a.ip='" +
            shown + "'");
        QCOMPARE(h.find("cmdParent")->toolTip(),
                 chosen.isEmpty() ? "Ни от какого хоста не зависит" : "Доступен через " + chosen);
    } else {
        QCOMPARE(h.boxes.asked.size(), 1);
        QVERIFY(is(h.boxes.asked[0], refusal, MsgIcon::Exclamation));
        QVERIFY(chooser && chooser->isVisible());
    }
}

// The failed checks before the alarm, shown on the host's button and edited from it within the
// bounds; the other host keeps its own.
void TestFrmBase::confirmCountEdited_data()
{
    QTest::addColumn<int>("typed");
    QTest::addColumn<int>("stored");
    QTest::newRow("1") << 1 << 1;
    QTest::newRow("100") << 100 << 100;
    QTest::newRow("0 goes to the least") << 0 << 1;
    QTest::newRow("101 goes to the most") << 101 << 100;
}

void TestFrmBase::confirmCountEdited()
{
    QFETCH(int, typed);
    QFETCH(int, stored);
    Harness h;
    h.folder.addHost("192.0.2.1", "Router");
    h.folder.addHost("192.0.2.2", "Web");
    h.folder.db().execute("update address set confirm=5");
    QVERIFY(h.load());
    QVERIFY(!h.find("cmdConfirm")->isEnabled());
    h.select("192.0.2.1");
    QCOMPARE(h.find<QAbstractButton>("cmdConfirm")->text(), QStringLiteral("Тревога: 5"));
    h.click("cmdConfirm");
    auto* dialog = h.w->findChild<QInputDialog*>("dlgConfirm");
    QVERIFY(dialog);
    QCOMPARE(dialog->intValue(), 5);
    dialog->setIntValue(typed);
    dialog->accept();
    QCOMPARE(h.folder.column("select confirm from address order by id"),
             QStringList({QString::number(stored), "5"}));
    QCOMPARE(h.find<QAbstractButton>("cmdConfirm")->text(),
             QStringLiteral("Тревога: %1").arg(stored));
}

// A window is added only when it ends after it begins; removing takes the one chosen.
void TestFrmBase::maintenanceWindowsAddedAndRemoved_data()
{
    QTest::addColumn<int>("minutes");  // the window's length as typed
    QTest::addColumn<bool>("added");
    QTest::newRow("ends as it begins") << 0 << false;
    QTest::newRow("a minute") << 1 << true;
}

void TestFrmBase::maintenanceWindowsAddedAndRemoved()
{
    QFETCH(int, minutes);
    QFETCH(bool, added);
    Harness h;
    h.folder.addHost("192.0.2.1", "Router");
    QVERIFY(h.load());
    h.click("cmdMaintenance");
    QPointer<frmMaintenance> dialog = h.w->findChild<frmMaintenance*>();
    QVERIFY(dialog);
    auto* host = dialog->findChild<QComboBox*>("cboHost");
    QCOMPARE(host->count(), 2);  // every host, then the one there is
    host->setCurrentIndex(1);
    dialog->findChild<QCheckBox*>("chkChildren")->setChecked(true);
    const QDateTime from(QDate(2026, 12, 9), QTime(23, 0));
    dialog->findChild<QDateTimeEdit*>("dtFrom")->setDateTime(from);
    dialog->findChild<QDateTimeEdit*>("dtTo")->setDateTime(from.addSecs(minutes * 60));
    dialog->findChild<QComboBox*>("cboRepeat")->setCurrentIndex(1);
    dialog->findChild<QLineEdit*>("txtComment")->setText("замена роутера");
    dialog->findChild<QAbstractButton*>("cmdAddWindow")->click();
    auto* list = dialog->findChild<QListWidget*>("lstWindows");
    QCOMPARE(h.folder.column("select id_ip||'|'||children||'|'||dt_from||'|'||recurs||'|'||comment "
                             "from maintenance"),
             added ? QStringList{"1|1|2026-12-09 23:00:00|daily|замена роутера"} : QStringList{});
    QCOMPARE(list->count(), added ? 1 : 0);
    QCOMPARE(h.boxes.asked.size(), added ? 0 : 1);
    if (!added) return;
    QVERIFY(list->item(0)->text().contains("Router[192.0.2.1] и зависящие: замена роутера"));
    list->setCurrentRow(0);
    dialog->findChild<QAbstractButton*>("cmdRemoveWindow")->click();
    QCOMPARE(h.folder.scalar("select count(*) from maintenance"), QStringLiteral("0"));
    QCOMPARE(list->count(), 0);
}

QTEST_MAIN(TestFrmBase)
#include "tst_frmbase.moc"
