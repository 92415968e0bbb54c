#include "alerts/sound.h"
#include "common/datetext.h"
#include "store/database.h"
#include "support/fakes.h"
#include "support/testdb.h"
#include "ui/admin/frmbase.h"
#include "ui/admin/inputrules.h"
#include "ui/admin/reports.h"
#include "ui/admin/wrapbutton.h"
#include "ui/controls/units.h"

#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QSqlDatabase>
#include <QTest>

using namespace sentrok;
using namespace sentrok::test;

namespace {

class RecordingPlayer final : public SoundPlayer {
public:
    void play(const QString& path) override { played << path; }
    QStringList played;
};

// A program folder with its database, the window's collaborators, and the window itself.
struct Harness {
    TestFolder folder;
    FakeMessageBoxes boxes;
    RecordingPlayer player;
    Sound sound{player, folder.path()};
    std::unique_ptr<frmBase> w;

    bool load()
    {
        w = std::make_unique<frmBase>(AdminWindowDeps{folder.path(), &boxes, &sound});
        return w->Form_Load();
    }
    template <typename T = QWidget>
    T* find(const QString& name) const
    {
        T* control = w->findChild<T*>(name);
        if (!control) qFatal("no control %s", qPrintable(name));
        return control;
    }
    QLineEdit* box(const QString& name) const { return find<QLineEdit>(name); }
    QString text(const QString& name) const { return box(name)->text(); }
    void type(const QString& name, const QString& text) const { box(name)->setText(text); }
    void click(const QString& name) const { find<QAbstractButton>(name)->click(); }
    QListWidget* list() const { return find<QListWidget>(QStringLiteral("lstAdr")); }
    QStringList listed() const
    {
        QStringList out;
        for (int i = 0; i < list()->count(); ++i) out << list()->item(i)->text();
        return out;
    }
    void select(int row) const { list()->setCurrentRow(row); }
    void select(const QString& ip) const { select(int(listed().indexOf(ip))); }
    QString detail() const
    {
        return find<QPlainTextEdit>(QStringLiteral("txtDetail"))->toPlainText();
    }

    // Everything the window can change, as one comparable text; the logs left out on request.
    QString snapshot(bool withLogs = true)
    {
        QStringList out;
        out << folder.column("select refresh_time||'|'||snd_up||'|'||snd_down from options");
        out << folder.column(
            "select id||'|'||ip||'|'||[desc]||'|'||vw||'|'||vn||'|'||vl||'|'||vi||'|'||color "
            "from address order by id");
        if (withLogs) {
            out << folder.column("select id_ip||'|'||time_echo||'|'||dt from log order by id");
            out << folder.column("select id_ip||'|'||dt1||'|'||dt2 from noconnect order by id");
        }
        out << folder.column(
            "select ifnull(smtp,'~')||'|'||ifnull([from],'~')||'|'||ifnull(email,'~')||'|'||"
            "ifnull([desc],'~') from emails order by id");
        return out.join(u'\n');
    }
    QString boxTexts() const
    {
        QStringList out;
        for (const QLineEdit* e : w->findChildren<QLineEdit*>())
            out << e->objectName() + '=' + e->text();
        return out.join(u'\n');
    }
    void addChecksAndOutage(qint64 host, int checks)
    {
        for (int i = 0; i < checks; ++i)
            folder.db().execute(
                "insert into log (id_ip,time_echo,time_wait,dt) values (?,?,'1000',?)",
                {host, 10 + i, QStringLiteral("2026-12-07 10:00:%1").arg(i, 2, 10, QChar(u'0'))});
        folder.db().execute("insert into noconnect (id_ip) values (?)", {host});
    }
};

const QStringList kProbeBoxes = {"txtVW", "txtVN", "txtVL", "txtVI", "txtCOLOR"};
const QStringList kProbeDefaults = {"1000", "2", "32", "255", "0"};
const QStringList kRecipientBoxes = {"txtSmtp", "txtFROM", "txtTO", "txtEDesc"};

bool isRefusal(const Message& m, const QString& text)
{
    return m.text == text && m.title == kAppTitle && m.buttons == MsgButtons::Ok &&
           m.icon == MsgIcon::Exclamation;
}

QStringList windowConnections()
{
    return QSqlDatabase::connectionNames().filter(QStringLiteral("frmBase"));
}

}  // namespace

class TestFrmBase : public QObject {
    Q_OBJECT
private slots:
    void init();

    // Loading and layout
    void loadKeepsFormDefaultsWhenTablesAreEmpty();
    void loadShowsSettingsFirstRecipientAndAddressesInDatabaseOrder();
    void loadFailureIsShownAndLeavesNoConnection_data();
    void loadFailureIsShownAndLeavesNoConnection();
    void closingReleasesTheConnection();
    void controlsSitAtTheirPlaces_data();
    void controlsSitAtTheirPlaces();
    void captionsFitAndNothingOverlaps();

    // Host records
    void selectingAnAddressShowsItsRecord();
    void selectingAnAddressWhoseRowIsGoneKeepsTheBoxes();
    void clickingTheSelectedAddressAgainDropsTypedText();
    void add_data();
    void add();
    void addWithOnlyAnAddressWritesTheDefaults();
    void addFromAShownHost();
    void saveMayGiveAHostAnotherHostsAddress();
    void deleteTakesChecksAndOutagesAlong();
    void noAnswersChangeNothing_data();
    void noAnswersChangeNothing();
    void buttonsWithoutAShownHostDoNothing_data();
    void buttonsWithoutAShownHostDoNothing();
    void unusableHostInputIsRefused_data();
    void unusableHostInputIsRefused();

    // Settings, recipient and purge
    void interval_data();
    void interval();
    void recipientTooLongSavesNothing();
    void noToTheSaveQuestionStillWritesTheRecipient();
    void recipientIsInsertedOnceThenUpdated();
    void saveWithoutSettingsRowWritesOnlyTheRecipient();
    void deletingTheRecipientThenSavingWritesAFreshRow();
    void purgeEmptiesLogsAndKeepsHosts();
    void testButtonsPlayTheUnsavedText();
    void quotesAndCyrillicRoundTrip();

    // Reports and failures
    void reportsShowTheHostInTheBoxes();
    void databaseFailuresAreShown_data();
    void databaseFailuresAreShown();
};

void TestFrmBase::init() { QLocale::setDefault(QLocale::c()); }

// ---- Loading and layout ----------------------------------------------------------------------

void TestFrmBase::loadKeepsFormDefaultsWhenTablesAreEmpty()
{
    Harness h;
    h.folder.db().execute("delete from options");
    QVERIFY(h.load());
    QVERIFY(h.boxes.asked.isEmpty());
    QCOMPARE(h.text("txtInt"), QStringLiteral("10"));
    QCOMPARE(h.text("txtSoundUp"), QStringLiteral("up.wav"));
    QCOMPARE(h.text("txtSoundDown"), QStringLiteral("down.wav"));
    for (const QString& name : kRecipientBoxes) QCOMPARE(h.text(name), QString());
    QCOMPARE(h.list()->count(), 0);
    for (const char* name : {"txtID", "txtIP", "txtDESC"}) QCOMPARE(h.text(name), QString());
    for (int i = 0; i < kProbeBoxes.size(); ++i)
        QCOMPARE(h.text(kProbeBoxes[i]), kProbeDefaults[i]);
    QCOMPARE(h.detail(), QString());
    QVERIFY(!h.box("txtID")->isEnabled());
    QCOMPARE(h.w->windowTitle(), QStringLiteral("Работа с базой"));
}

void TestFrmBase::loadShowsSettingsFirstRecipientAndAddressesInDatabaseOrder()
{
    Harness h;
    h.folder.db().execute("update options set refresh_time=25, snd_up='вверх.wav', snd_down=NULL");
    h.folder.db().execute(
        "insert into emails (smtp,[from],email,[desc]) values ('smtp.a','f@a','t@a',NULL)");
    h.folder.db().execute(
        "insert into emails (smtp,[from],email,[desc]) values ('smtp.b','f@b','t@b','второй')");
    for (const char* ip : {"b.example", "10.0.0.2", "10.0.0.10"}) h.folder.addHost(ip);
    QVERIFY(h.load());
    QCOMPARE(h.text("txtInt"), QStringLiteral("25"));
    QCOMPARE(h.text("txtSoundUp"), QStringLiteral("вверх.wav"));
    QCOMPARE(h.text("txtSoundDown"), QString());
    QCOMPARE(h.text("txtSmtp"), QStringLiteral("smtp.a"));
    QCOMPARE(h.text("txtFROM"), QStringLiteral("f@a"));
    QCOMPARE(h.text("txtTO"), QStringLiteral("t@a"));
    QCOMPARE(h.text("txtEDesc"), QString());
    // Ordered as texts: 10.0.0.10 before 10.0.0.2.
    QCOMPARE(h.listed(), QStringList({"10.0.0.10", "10.0.0.2", "b.example"}));
    QVERIFY(h.list()->selectedItems().isEmpty());
    QCOMPARE(h.text("txtID"), QString());
}

void TestFrmBase::loadFailureIsShownAndLeavesNoConnection_data()
{
    QTest::addColumn<QString>("damage");
    QTest::newRow("no database file") << "";
    QTest::newRow("no recipient table") << "drop table emails";
    QTest::newRow("no host table") << "alter table address rename to hosts";
}

void TestFrmBase::loadFailureIsShownAndLeavesNoConnection()
{
    QFETCH(QString, damage);
    Harness h;
    if (damage.isEmpty())
        QVERIFY(QFile::remove(h.folder.dbFile()));
    else
        h.folder.db().execute(damage);
    QVERIFY(!h.load());
    QCOMPARE(h.boxes.asked.size(), 1);
    const Message& m = h.boxes.asked[0];
    QVERIFY2(m.text.startsWith(QStringLiteral("Ошибка ")), qPrintable(m.text));
    QCOMPARE(m.icon, MsgIcon::Stop);
    QCOMPARE(m.title, kAppTitle);
    QCOMPARE(windowConnections(), QStringList());
    if (damage.isEmpty()) QVERIFY(!QFile::exists(h.folder.dbFile()));
}

void TestFrmBase::closingReleasesTheConnection()
{
    Harness h;
    QVERIFY(h.load());
    QCOMPARE(windowConnections().size(), 1);
    h.w->show();
    QVERIFY(h.w->close());
    QCOMPARE(windowConnections(), QStringList());
    QVERIFY(h.boxes.asked.isEmpty());
}

void TestFrmBase::controlsSitAtTheirPlaces_data()
{
    // Window client coordinates in twips: controls inside frames must land here too.
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRectF>("twips");
    QTest::newRow("Frame1") << "Frame1" << QRectF(0, 0, 8535, 5655);
    QTest::newRow("lstAdr") << "lstAdr" << QRectF(120, 360, 2175, 5130);
    QTest::newRow("txtID") << "txtID" << QRectF(4440, 360, 2415, 285);
    QTest::newRow("txtCOLOR") << "txtCOLOR" << QRectF(4440, 2880, 2415, 285);
    QTest::newRow("cmdEdit") << "cmdEdit" << QRectF(7080, 2640, 1215, 495);
    QTest::newRow("Frame4 in Frame1") << "Frame4" << QRectF(2400, 3360, 5895, 2175);
    QTest::newRow("Command4 in Frame4") << "Command4" << QRectF(2880, 4560, 1215, 615);
    QTest::newRow("txtDetail in Frame4") << "txtDetail" << QRectF(4440, 3600, 3735, 1815);
    QTest::newRow("Frame2") << "Frame2" << QRectF(0, 5760, 8535, 3495);
    QTest::newRow("txtSoundUp") << "txtSoundUp" << QRectF(3840, 6720, 3135, 285);
    QTest::newRow("Command1") << "Command1" << QRectF(7200, 6360, 1095, 255);
    QTest::newRow("cmdSaveOpt") << "cmdSaveOpt" << QRectF(7200, 8520, 1095, 615);
    QTest::newRow("Frame3 in Frame2") << "Frame3" << QRectF(120, 7200, 6855, 1935);
    QTest::newRow("cmdDelSMTP in Frame3") << "cmdDelSMTP" << QRectF(6240, 7440, 375, 375);
    QTest::newRow("txtEDesc in Frame3") << "txtEDesc" << QRectF(1560, 8640, 4335, 285);
}

void TestFrmBase::controlsSitAtTheirPlaces()
{
    QFETCH(QString, name);
    QFETCH(QRectF, twips);
    Harness h;
    QVERIFY(h.load());
    const QWidget* control = h.find(name);
    const QRect placed(control->mapTo(h.w.get(), QPoint(0, 0)), control->size());
    QCOMPARE(placed, pxRect(h.w.get(), twips.x(), twips.y(), twips.width(), twips.height()));
}

void TestFrmBase::captionsFitAndNothingOverlaps()
{
    Harness h;
    QVERIFY(h.load());
    frmBase* w = h.w.get();
    QCOMPARE(w->minimumSize(), w->maximumSize());
    QCOMPARE(w->size(), QSize(pxX(w, 8535), pxY(w, 9330)));

    for (const QLabel* label : w->findChildren<QLabel*>()) {
        const QFontMetrics fm(label->font());
        QVERIFY2(fm.horizontalAdvance(label->text()) <= label->width(),
                 qPrintable(label->objectName()));
        QVERIFY2(fm.height() <= label->height(), qPrintable(label->objectName()));
    }
    for (const WrapButton* button : w->findChildren<WrapButton*>()) {
        const QRect room = button->captionRect();
        const QRect needed =
            button->fontMetrics().boundingRect(room, WrapButton::kCaptionFlags, button->text());
        QVERIFY2(room.contains(needed), qPrintable(button->objectName()));
    }
    for (const QGroupBox* frame : w->findChildren<QGroupBox*>()) {
        const bool outer = frame->parentWidget() == w;
        QCOMPARE(frame->font().bold(), outer);
        QVERIFY2(frame->fontMetrics().horizontalAdvance(frame->title()) < frame->width() - 16,
                 qPrintable(frame->objectName()));
    }
    // Every control inside its container and clear of its neighbours.
    QList<QWidget*> containers = {w};
    for (QGroupBox* frame : w->findChildren<QGroupBox*>()) containers << frame;
    for (QWidget* container : containers) {
        const QList<QWidget*> children =
            container->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
        for (int i = 0; i < children.size(); ++i) {
            if (children[i]->objectName().isEmpty()) continue;  // the parts of a control
            QVERIFY2(container->rect().contains(children[i]->geometry()),
                     qPrintable(children[i]->objectName()));
            if (container != w) QCOMPARE(children[i]->font().bold(), false);
            for (int j = i + 1; j < children.size(); ++j) {
                if (children[j]->objectName().isEmpty()) continue;
                QVERIFY2(!children[i]->geometry().intersects(children[j]->geometry()),
                         qPrintable(children[i]->objectName() + " / " + children[j]->objectName()));
            }
        }
    }
}

// ---- Host records ----------------------------------------------------------------------------

void TestFrmBase::selectingAnAddressShowsItsRecord()
{
    Harness h;
    h.folder.addHost("10.0.0.1", "первый");
    const qint64 id = h.folder.addHost("10.0.0.2", "второй", "750");
    h.folder.db().execute("update address set vn='3',vl='64',vi='128',color='255' where id=?",
                          {id});
    QVERIFY(h.load());
    h.select("10.0.0.2");
    const QStringList shown = {h.text("txtID"), h.text("txtIP"),   h.text("txtDESC"),
                               h.text("txtVW"), h.text("txtVN"),   h.text("txtVL"),
                               h.text("txtVI"), h.text("txtCOLOR")};
    QCOMPARE(shown, QStringList({QString::number(id), "10.0.0.2", "второй", "750", "3", "64", "128",
                                 "255"}));
    QCOMPARE(h.detail(), QString());
}

void TestFrmBase::selectingAnAddressWhoseRowIsGoneKeepsTheBoxes()
{
    Harness h;
    h.folder.addHost("10.0.0.1", "остаётся");
    const qint64 gone = h.folder.addHost("10.0.0.2");
    QVERIFY(h.load());
    h.select("10.0.0.1");
    const QString before = h.boxTexts();
    h.folder.db().execute("delete from address where id=?", {gone});
    h.select("10.0.0.2");
    QCOMPARE(h.boxTexts(), before);
    QVERIFY(h.boxes.asked.isEmpty());
}

void TestFrmBase::clickingTheSelectedAddressAgainDropsTypedText()
{
    Harness h;
    h.folder.addHost("10.0.0.1", "как было");
    h.folder.addHost("10.0.0.2");
    QVERIFY(h.load());
    h.w->show();
    QVERIFY(QTest::qWaitForWindowExposed(h.w.get()));
    const QRect item = h.list()->visualItemRect(h.list()->item(0));
    QTest::mouseClick(h.list()->viewport(), Qt::LeftButton, {}, item.center());
    QCOMPARE(h.text("txtIP"), QStringLiteral("10.0.0.1"));
    h.type("txtDESC", "напечатано");
    QTest::mouseClick(h.list()->viewport(), Qt::LeftButton, {}, item.center());
    QCOMPARE(h.text("txtDESC"), QStringLiteral("как было"));
}

void TestFrmBase::add_data()
{
    QTest::addColumn<QString>("ip");
    QTest::addColumn<int>("rowsAfter");  // rows with exactly this address afterwards
    QTest::addColumn<bool>("refused");
    QTest::newRow("new address") << "10.0.0.2" << 1 << false;
    QTest::newRow("duplicate") << "10.0.0.1" << 1 << true;
    QTest::newRow("blank in front is another text") << " 10.0.0.1" << 1 << false;
    QTest::newRow("empty does nothing") << "" << 0 << false;
}

void TestFrmBase::add()
{
    QFETCH(QString, ip);
    QFETCH(int, rowsAfter);
    QFETCH(bool, refused);
    Harness h;
    h.folder.addHost("10.0.0.1");
    QVERIFY(h.load());
    const QString before = h.snapshot();
    h.type("txtIP", ip);
    h.type("txtDESC", "описание");
    h.click("cmdAdd");
    QCOMPARE(h.folder.scalar("select count(*) from address where ip=?", {ip}).toInt(), rowsAfter);
    const bool added = !refused && !ip.isEmpty();
    QCOMPARE(h.boxes.asked.size(), refused ? 1 : 0);
    if (refused) QVERIFY(isRefusal(h.boxes.asked[0], "Такой ip адрес уже есть в базе"));
    if (added) {
        QVERIFY(h.listed().contains(ip));
        QCOMPARE(h.text("txtIP"), QString());
        QCOMPARE(h.text("txtDESC"), QString());
    } else {
        QCOMPARE(h.snapshot(), before);
        QCOMPARE(h.text("txtIP"), ip);
        QCOMPARE(h.text("txtDESC"), QStringLiteral("описание"));
    }
}

void TestFrmBase::addWithOnlyAnAddressWritesTheDefaults()
{
    Harness h;
    QVERIFY(h.load());
    h.type("txtIP", "192.168.1.1");
    h.click("cmdAdd");
    QCOMPARE(h.folder.column("select [desc]||'|'||vw||'|'||vn||'|'||vl||'|'||vi||'|'||color "
                             "from address where ip='192.168.1.1'"),
             QStringList({"|" + kProbeDefaults.join(u'|')}));
    QCOMPARE(h.listed(), QStringList({"192.168.1.1"}));
}

void TestFrmBase::addFromAShownHost()
{
    Harness h;
    const qint64 id = h.folder.addHost("10.0.0.1", "шлюз", "300");
    QVERIFY(h.load());
    h.select("10.0.0.1");
    h.type("txtDESC", "другое описание");
    h.click("cmdAdd");
    QCOMPARE(h.boxes.asked.size(), 1);
    QCOMPARE(h.folder.scalar("select count(*) from address"), QStringLiteral("1"));

    h.type("txtIP", "10.0.0.9");
    h.click("cmdAdd");
    QCOMPARE(h.folder.column("select [desc]||'|'||vw from address where ip='10.0.0.9'"),
             QStringList({"другое описание|300"}));
    QCOMPARE(h.folder.column("select ip||'|'||[desc] from address where id=?", {id}),
             QStringList({"10.0.0.1|шлюз"}));
}

void TestFrmBase::saveMayGiveAHostAnotherHostsAddress()
{
    Harness h;
    const qint64 first = h.folder.addHost("10.0.0.1", "первый");
    const qint64 second = h.folder.addHost("10.0.0.2", "второй");
    QVERIFY(h.load());
    h.select("10.0.0.2");
    h.type("txtIP", "10.0.0.1");
    h.type("txtVL", "64");
    h.click("cmdEdit");
    QCOMPARE(h.boxes.asked.size(), 1);
    const Message& question = h.boxes.asked[0];
    QCOMPARE(question.text, QStringLiteral("Сохранить изменения "));
    QCOMPARE(question.title, QStringLiteral("Изменить?"));
    QCOMPARE(question.buttons, MsgButtons::YesNo);
    QCOMPARE(question.icon, MsgIcon::Question);
    QCOMPARE(h.folder.column("select ip||'|'||[desc]||'|'||vl from address where id=?", {second}),
             QStringList({"10.0.0.1|второй|64"}));
    QCOMPARE(h.listed(), QStringList({"10.0.0.1", "10.0.0.1"}));
    QCOMPARE(h.text("txtID"), QString());
    // Either item shows the same, first host of that address.
    h.select(1);
    QCOMPARE(h.text("txtID"), QString::number(first));
}

void TestFrmBase::deleteTakesChecksAndOutagesAlong()
{
    Harness h;
    const qint64 gone = h.folder.addHost("10.0.0.1");
    const qint64 kept = h.folder.addHost("10.0.0.2");
    h.addChecksAndOutage(gone, 5);
    h.addChecksAndOutage(kept, 3);
    QVERIFY(h.load());
    h.select("10.0.0.1");
    h.click("cmdDel");
    QCOMPARE(h.boxes.asked.size(), 1);
    QCOMPARE(h.boxes.asked[0].text,
             QStringLiteral("Вы хотите удалить адрес 10.0.0.1\r\nи всё что с ним связано?"));
    QCOMPARE(h.boxes.asked[0].title, QStringLiteral("Удалить?"));
    QCOMPARE(h.boxes.asked[0].icon, MsgIcon::Question);
    for (const char* table : {"address where id", "log where id_ip", "noconnect where id_ip"}) {
        QCOMPARE(h.folder.scalar(
                     QStringLiteral("select count(*) from %1=?").arg(QLatin1String(table)), {gone}),
                 QStringLiteral("0"));
    }
    QCOMPARE(h.folder.scalar("select count(*) from log where id_ip=?", {kept}),
             QStringLiteral("3"));
    QCOMPARE(h.folder.scalar("select count(*) from noconnect where id_ip=?", {kept}),
             QStringLiteral("1"));
    QCOMPARE(h.listed(), QStringList({"10.0.0.2"}));
    QCOMPARE(h.text("txtID"), QString());
    QCOMPARE(h.text("txtIP"), QString());
}

void TestFrmBase::noAnswersChangeNothing_data()
{
    QTest::addColumn<QString>("button");
    QTest::newRow("save host") << "cmdEdit";
    QTest::newRow("delete host") << "cmdDel";
    QTest::newRow("delete recipient") << "cmdDelSMTP";
    QTest::newRow("purge logs") << "cmdClearLog";
}

void TestFrmBase::noAnswersChangeNothing()
{
    QFETCH(QString, button);
    Harness h;
    const qint64 id = h.folder.addHost("10.0.0.1");
    h.addChecksAndOutage(id, 2);
    h.folder.db().execute("insert into emails (smtp,[from],email,[desc]) values ('s','f','t','d')");
    QVERIFY(h.load());
    h.select("10.0.0.1");
    h.type("txtIP", "10.0.0.7");
    h.type("txtSmtp", "новый");
    const QString before = h.snapshot();
    const QString typed = h.boxTexts();
    h.boxes.answerNext(MsgAnswer::No);
    h.click(button);
    QCOMPARE(h.boxes.asked.size(), 1);
    QCOMPARE(h.boxes.asked[0].buttons, MsgButtons::YesNo);
    QCOMPARE(h.snapshot(), before);
    QCOMPARE(h.boxTexts(), typed);
    QCOMPARE(h.listed(), QStringList({"10.0.0.1"}));
}

void TestFrmBase::buttonsWithoutAShownHostDoNothing_data()
{
    QTest::addColumn<QString>("button");
    QTest::newRow("save") << "cmdEdit";
    QTest::newRow("delete") << "cmdDel";
    QTest::newRow("checks report") << "Command3";
    QTest::newRow("outages report") << "Command4";
}

void TestFrmBase::buttonsWithoutAShownHostDoNothing()
{
    QFETCH(QString, button);
    Harness h;
    const qint64 id = h.folder.addHost("10.0.0.1");
    h.addChecksAndOutage(id, 2);
    QVERIFY(h.load());
    h.select("10.0.0.1");
    h.click("Command3");
    const QString report = h.detail();
    QVERIFY(!report.isEmpty());
    h.click("cmdClear");  // the boxes no longer show a host
    QCOMPARE(h.detail(), report);
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
    const QString ip64 = QString(60, u'h') + ".org";
    for (const char* button : {"cmdAdd", "cmdEdit"}) {
        const auto row = [button](const char* what) {
            return &QTest::newRow(qPrintable(QStringLiteral("%1: %2").arg(button, what)));
        };
        *row("address of 65") << button << "txtIP"
                              << "h" + ip64 << kHostTooLong;
        *row("address of 64 and blanks") << button << "txtIP"
                                         << " " + ip64 + " " << QString();
        *row("wait above 16 bits") << button << "txtVW"
                                   << "40000" << kWaitOutOfRange;
        *row("wait not a number") << button << "txtVW"
                                  << "1 000 мс" << kWaitOutOfRange;
        *row("count above 16 bits") << button << "txtVN"
                                    << "32768" << kCountTooLarge;
        *row("count the probe replaces") << button << "txtVN"
                                         << "много" << QString();
        *row("TTL stays free text") << button << "txtVI"
                                    << "999999" << QString();
        *row("size stays free text") << button << "txtVL"
                                     << "abc" << QString();
    }
}

void TestFrmBase::unusableHostInputIsRefused()
{
    QFETCH(QString, button);
    QFETCH(QString, box);
    QFETCH(QString, text);
    QFETCH(QString, refusal);
    Harness h;
    const qint64 id = h.folder.addHost("10.0.0.1");
    QVERIFY(h.load());
    if (button == "cmdEdit") h.select("10.0.0.1");
    if (box != "txtIP") h.type("txtIP", "10.0.0.5");
    h.type(box, text);
    const QString before = h.snapshot();
    h.click(button);
    if (refusal.isEmpty()) {
        // Saving asks first; adding does not.
        QCOMPARE(h.boxes.asked.size(), button == "cmdEdit" ? 1 : 0);
        const QString column = box.mid(3).toLower();
        const QString where = button == "cmdEdit" ? QStringLiteral("id=%1").arg(id)
                                                  : QStringLiteral("id<>%1").arg(id);
        QCOMPARE(
            h.folder.scalar(QStringLiteral("select %1 from address where %2").arg(column, where)),
            text);
    } else {
        QCOMPARE(h.boxes.asked.size(), 1);
        QVERIFY2(isRefusal(h.boxes.asked[0], refusal), qPrintable(h.boxes.asked[0].text));
        QCOMPARE(h.snapshot(), before);
        QCOMPARE(h.text(box), text);
    }
}

// ---- Settings, recipient and purge -----------------------------------------------------------

void TestFrmBase::interval_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("refusal");  // empty: accepted
    QTest::addColumn<QString>("stored");
    QTest::newRow("abc") << "abc"
                         << "Интервал должен быть числом"
                         << "";
    QTest::newRow("0") << "0"
                       << "Интервал должен быть >= 1 и <= разумных пределов"
                       << "";
    QTest::newRow("-5") << "-5"
                        << "Интервал должен быть >= 1 и <= разумных пределов"
                        << "";
    QTest::newRow("0.5 rounds to 0") << "0.5"
                                     << "Интервал должен быть >= 1 и <= разумных пределов"
                                     << "";
    QTest::newRow("1.5 rounds to 2") << "1.5"
                                     << ""
                                     << "2";
    QTest::newRow("1") << "1"
                       << ""
                       << "1";
    QTest::newRow("blanks around") << " 30 "
                                   << ""
                                   << "30";
    QTest::newRow("seconds beyond 32 bits") << "35791395"
                                            << "Интервал должен быть >= 1 и <= разумных пределов"
                                            << "";
}

void TestFrmBase::interval()
{
    QFETCH(QString, typed);
    QFETCH(QString, refusal);
    QFETCH(QString, stored);
    Harness h;
    QVERIFY(h.load());
    h.type("txtInt", typed);
    h.type("txtSoundUp", "u2.wav");
    h.type("txtTO", "admin@example.org");
    const QString before = h.snapshot();
    h.click("cmdSaveOpt");
    QCOMPARE(h.boxes.asked.size(), 1);
    if (!refusal.isEmpty()) {
        QVERIFY2(isRefusal(h.boxes.asked[0], refusal), qPrintable(h.boxes.asked[0].text));
        QCOMPARE(h.snapshot(), before);
        QCOMPARE(h.text("txtInt"), typed);
        return;
    }
    QCOMPARE(h.boxes.asked[0].icon, MsgIcon::Question);
    QCOMPARE(
        h.folder.column("select refresh_time||'|'||typeof(refresh_time)||'|'||snd_up from options"),
        QStringList({stored + "|integer|u2.wav"}));
    QCOMPARE(h.folder.column("select email from emails"), QStringList({"admin@example.org"}));
}

void TestFrmBase::recipientTooLongSavesNothing()
{
    Harness h;
    QVERIFY(h.load());
    h.type("txtInt", "20");
    h.type("txtTO", QString(243, u'a') + "@example.org");
    const QString before = h.snapshot();
    h.click("cmdSaveOpt");
    QCOMPARE(h.boxes.asked.size(), 1);
    QVERIFY(isRefusal(h.boxes.asked[0], kRecipientTooLong));
    QCOMPARE(h.snapshot(), before);

    h.type("txtTO", "  " + QString(242, u'a') + "@example.org ");
    h.click("cmdSaveOpt");
    QCOMPARE(h.boxes.asked.size(), 2);
    QCOMPARE(h.boxes.asked[1].icon, MsgIcon::Question);
    QCOMPARE(h.folder.column("select email from emails"), QStringList({h.text("txtTO")}));
}

void TestFrmBase::noToTheSaveQuestionStillWritesTheRecipient()
{
    Harness h;
    QVERIFY(h.load());
    const QString settings = h.folder.scalar("select refresh_time||snd_up||snd_down from options");
    h.type("txtInt", "45");
    h.type("txtSoundDown", "тревога.wav");
    const QStringList recipient = {"smtp.example.org", "sentrok@example.org", "admin@example.org",
                                   "дежурный"};
    for (int i = 0; i < 4; ++i) h.type(kRecipientBoxes[i], recipient[i]);
    h.boxes.answerNext(MsgAnswer::No);
    h.click("cmdSaveOpt");
    QCOMPARE(h.boxes.asked.size(), 1);
    const Message& question = h.boxes.asked[0];
    QCOMPARE(question.text, QStringLiteral("Сохранить изменения?\r\nИзменения вступят в силу после "
                                           "\r\nперезапуска программы"));
    QCOMPARE(question.title, QStringLiteral("Сохранить?"));
    QCOMPARE(question.buttons, MsgButtons::YesNo);
    QCOMPARE(question.icon, MsgIcon::Question);
    QCOMPARE(h.folder.scalar("select refresh_time||snd_up||snd_down from options"), settings);
    QCOMPARE(h.folder.column("select smtp||'|'||[from]||'|'||email||'|'||[desc] from emails"),
             QStringList({recipient.join(u'|')}));
}

void TestFrmBase::recipientIsInsertedOnceThenUpdated()
{
    Harness h;
    QVERIFY(h.load());
    h.type("txtSmtp", "smtp.one");
    h.type("txtTO", "one@example.org");
    h.click("cmdSaveOpt");
    QCOMPARE(h.folder.column("select smtp||'|'||[from]||'|'||email from emails"),
             QStringList({"smtp.one||one@example.org"}));
    h.type("txtSmtp", "smtp.two");
    h.click("cmdSaveOpt");
    QCOMPARE(h.folder.column("select smtp||'|'||email from emails"),
             QStringList({"smtp.two|one@example.org"}));
    for (const QString& name : kRecipientBoxes) h.type(name, QString());
    h.click("cmdSaveOpt");
    // Empty boxes are stored as empty texts, not as missing values.
    QCOMPARE(h.folder.column(
                 "select quote(smtp)||quote([from])||quote(email)||quote([desc]) from emails"),
             QStringList({"''''''''"}));
}

void TestFrmBase::saveWithoutSettingsRowWritesOnlyTheRecipient()
{
    Harness h;
    h.folder.db().execute("delete from options");
    QVERIFY(h.load());
    h.type("txtTO", "t@example.org");
    h.click("cmdSaveOpt");
    QCOMPARE(h.boxes.asked.size(), 1);
    QCOMPARE(h.boxes.asked[0].icon, MsgIcon::Question);
    QCOMPARE(h.folder.scalar("select count(*) from options"), QStringLiteral("0"));
    QCOMPARE(h.folder.column("select email from emails"), QStringList({"t@example.org"}));
}

void TestFrmBase::deletingTheRecipientThenSavingWritesAFreshRow()
{
    Harness h;
    h.folder.db().execute("insert into emails (smtp,[from],email,[desc]) values ('s','f','t','d')");
    h.folder.db().execute(
        "insert into emails (smtp,[from],email,[desc]) values ('s2','f2','t2','d2')");
    QVERIFY(h.load());
    h.click("cmdDelSMTP");
    QCOMPARE(h.boxes.asked.size(), 1);
    QCOMPARE(h.boxes.asked[0].text, QStringLiteral("Удалить email?"));
    QCOMPARE(h.boxes.asked[0].title, QStringLiteral("Изменить?"));
    QCOMPARE(h.boxes.asked[0].icon, MsgIcon::Question);
    QCOMPARE(h.folder.scalar("select count(*) from emails"), QStringLiteral("0"));
    for (const QString& name : kRecipientBoxes) QCOMPARE(h.text(name), QString());
    h.type("txtSmtp", "smtp.new");
    h.click("cmdSaveOpt");
    QCOMPARE(h.folder.column("select smtp||'|'||[from]||'|'||email||'|'||[desc] from emails"),
             QStringList({"smtp.new|||"}));
}

void TestFrmBase::purgeEmptiesLogsAndKeepsHosts()
{
    Harness h;
    const qint64 a = h.folder.addHost("10.0.0.1");
    const qint64 b = h.folder.addHost("10.0.0.2");
    h.addChecksAndOutage(a, 4);
    h.addChecksAndOutage(b, 2);
    h.folder.db().execute("insert into emails (smtp,[from],email,[desc]) values ('s','f','t','d')");
    QVERIFY(h.load());
    h.select("10.0.0.1");
    h.click("Command4");
    const QString report = h.detail();
    const QString kept = h.snapshot(false);
    h.click("cmdClearLog");
    QCOMPARE(h.boxes.asked.size(), 1);
    QCOMPARE(h.boxes.asked[0].text,
             QStringLiteral("Стереть логи из базы?\r\n(База адресов сохранится)"));
    QCOMPARE(h.boxes.asked[0].title, QStringLiteral("Очистить?"));
    QCOMPARE(h.boxes.asked[0].icon, MsgIcon::Question);
    QCOMPARE(h.folder.scalar("select count(*) from log"), QStringLiteral("0"));
    QCOMPARE(h.folder.scalar("select count(*) from noconnect"), QStringLiteral("0"));
    QCOMPARE(h.snapshot(false), kept);
    QCOMPARE(h.detail(), report);
    QCOMPARE(h.w->cursor().shape(), Qt::ArrowCursor);
}

void TestFrmBase::testButtonsPlayTheUnsavedText()
{
    Harness h;
    QVERIFY(h.load());
    h.type("txtSoundDown", "звуки/пропал.wav");
    h.type("txtSoundUp", "есть связь.wav");
    h.click("Command1");
    h.click("Command2");
    QCOMPARE(h.player.played, QStringList({h.folder.path() + "/звуки/пропал.wav",
                                           h.folder.path() + "/есть связь.wav"}));
    QCOMPARE(h.folder.scalar("select snd_up||'|'||snd_down from options"),
             QStringLiteral("up.wav|down.wav"));
}

void TestFrmBase::quotesAndCyrillicRoundTrip()
{
    const QStringList host = {
        "o'host.example", "Сервер \"главный\"; drop table log; --", "1000", "2", "32", "255", "0"};
    const QStringList hostBoxes = {"txtIP", "txtDESC", "txtVW",   "txtVN",
                                   "txtVL", "txtVI",   "txtCOLOR"};
    const QStringList recipient = {"smtp.пример.рф", "d'Artagnan@example.org", "'\"@x",
                                   "it's «ок»"};
    Harness h;
    QVERIFY(h.load());
    for (int i = 0; i < hostBoxes.size(); ++i) h.type(hostBoxes[i], host[i]);
    h.click("cmdAdd");
    h.type("txtSoundUp", "вверх's.wav");
    h.type("txtSoundDown", "\"вниз\".wav");
    for (int i = 0; i < 4; ++i) h.type(kRecipientBoxes[i], recipient[i]);
    h.click("cmdSaveOpt");
    QCOMPARE(h.boxes.asked.size(), 1);  // the save question only

    // A window loaded afresh shows exactly what was typed.
    h.w->close();
    QVERIFY(h.load());
    QCOMPARE(h.listed(), QStringList({host[0]}));
    h.select(0);
    for (int i = 0; i < hostBoxes.size(); ++i) QCOMPARE(h.text(hostBoxes[i]), host[i]);
    QCOMPARE(h.text("txtSoundUp"), QStringLiteral("вверх's.wav"));
    QCOMPARE(h.text("txtSoundDown"), QStringLiteral("\"вниз\".wav"));
    for (int i = 0; i < 4; ++i) QCOMPARE(h.text(kRecipientBoxes[i]), recipient[i]);
    QCOMPARE(h.folder.scalar("select count(*) from log"), QStringLiteral("0"));

    // The address with its quote is found again by the duplicate test.
    h.click("cmdClear");
    h.type("txtIP", host[0]);
    h.click("cmdAdd");
    QVERIFY(isRefusal(h.boxes.asked.last(), "Такой ip адрес уже есть в базе"));
}

// ---- Reports and failures --------------------------------------------------------------------

void TestFrmBase::reportsShowTheHostInTheBoxes()
{
    QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    Harness h;
    const qint64 a = h.folder.addHost("10.0.0.1");
    const qint64 b = h.folder.addHost("10.0.0.2");
    h.addChecksAndOutage(a, 3);
    h.addChecksAndOutage(b, 5);
    QVERIFY(h.load());
    h.select("10.0.0.1");
    h.click("Command3");
    QString expected = checksReport(h.folder.db(), a);
    QCOMPARE(h.detail(), expected.replace("\r\n", "\n"));
    QCOMPARE(h.detail().count(u'\n'), 2 + 3);

    // The list's selection changes the host shown, and with it the host reported on.
    h.select("10.0.0.2");
    h.click("Command4");
    expected = outagesReport(h.folder.db(), b);
    QVERIFY(expected.contains("\t0:00:00\r\n"));
    QCOMPARE(h.detail(), expected.replace("\r\n", "\n"));
    QVERIFY(h.boxes.asked.isEmpty());
    QCOMPARE(h.w->cursor().shape(), Qt::ArrowCursor);
}

void TestFrmBase::databaseFailuresAreShown_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QString>("button");
    QTest::newRow("saving with the recipient table gone") << "drop table emails"
                                                          << "cmdSaveOpt";
    QTest::newRow("adding with the host table renamed") << "alter table address rename to h"
                                                        << "cmdAdd";
    QTest::newRow("report with the log gone") << "drop table log"
                                              << "Command3";
    QTest::newRow("purge with the outages gone") << "drop table noconnect"
                                                 << "cmdClearLog";
    QTest::newRow("deleting the recipient with its table gone") << "drop table emails"
                                                                << "cmdDelSMTP";
}

void TestFrmBase::databaseFailuresAreShown()
{
    QFETCH(QString, damage);
    QFETCH(QString, button);
    Harness h;
    h.folder.addHost("10.0.0.1");
    QVERIFY(h.load());
    h.select("10.0.0.1");
    h.type("txtIP", "10.0.0.3");
    h.type("txtInt", "77");
    h.folder.db().execute(damage);
    h.click(button);
    QVERIFY(!h.boxes.asked.isEmpty());
    const Message& m = h.boxes.asked.last();
    QCOMPARE(m.icon, MsgIcon::Stop);
    QCOMPARE(m.title, kAppTitle);
    QVERIFY2(m.text.startsWith(QStringLiteral("Ошибка ")), qPrintable(m.text));
    // A failed save writes nothing at all.
    QCOMPARE(h.folder.scalar("select refresh_time from options"), QStringLiteral("10"));
    QCOMPARE(h.w->cursor().shape(), Qt::ArrowCursor);
}

QTEST_MAIN(TestFrmBase)
#include "tst_frmbase.moc"
