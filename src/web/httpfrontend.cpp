#include "web/httpfrontend.h"

#include "common/clock.h"
#include "web/escape.h"
#include "web/statusprovider.h"
#include "web/views.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QHttpServerRequest>
#include <QPointer>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QUrlQuery>

namespace sentrok::web {

namespace {

using Status = QHttpServerResponder::StatusCode;

constexpr int kDefaultEvents = 500, kMaxEvents = 1000;
constexpr qint64 kMaxHistoryMs = 31LL * 86'400'000;
enum View { StatusJson, Metrics, Page };

const QByteArray kHtml = QByteArrayLiteral("text/html; charset=utf-8");
const QByteArray kJson = QByteArrayLiteral("application/json");
const QByteArray kText = QByteArrayLiteral("text/plain; charset=utf-8");
const QByteArray kMetrics = QByteArrayLiteral("text/plain; version=0.0.4; charset=utf-8");

// Every answer: the page's own style sheet and script and nothing else, no inline script or
// style, no framing, no guessing of types, no address of the page sent elsewhere.
Reply reply(Status status, const QByteArray& type, QByteArray body)
{
    Reply r{status, type, std::move(body), {}};
    r.headers = {{"Content-Security-Policy",
                  "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
                  "connect-src 'self'; object-src 'none'; base-uri 'none'; form-action 'none'; "
                  "frame-ancestors 'none'"},
                 {"X-Content-Type-Options", "nosniff"},
                 {"X-Frame-Options", "DENY"},
                 {"Referrer-Policy", "no-referrer"},
                 {"Cache-Control", "no-cache"}};
    return r;
}

Reply jsonError(Status status, const QString& text)
{
    JsonWriter w;
    w.beginObject().key("error").value(text).endObject();
    return reply(status, kJson, w.take());
}

Reply busy(bool json)
{
    const QString text =
        QStringLiteral("Сервер занят ответами на другие запросы, повторите через секунду.");
    Reply r = json ? jsonError(Status::ServiceUnavailable, text)
                   : reply(Status::ServiceUnavailable, kHtml,
                           messagePage(QStringLiteral("Сервер занят"), text));
    r.headers.emplaceBack("Retry-After", "1");
    return r;
}

Reply notYet(const QByteArray& type)
{
    const QString text = QStringLiteral("Состояние хостов ещё не прочитано из базы данных.");
    Reply r = type == kJson ? jsonError(Status::ServiceUnavailable, text)
                            : reply(Status::ServiceUnavailable, kText, text.toUtf8() + '\n');
    r.headers.emplaceBack("Retry-After", "5");
    return r;
}

// A time of the API: seconds since the epoch, or ISO 8601 ("2024-05-06T07:08:09", the server's
// local time unless an offset or Z says otherwise).
std::optional<qint64> timeParameter(QString text)
{
    static const QRegularExpression digits(QStringLiteral("^\\d{1,12}$"));
    if (digits.match(text).hasMatch()) return text.toLongLong() * 1000;
    // A "+" of an offset left unescaped in a query reads as a blank.
    if (text.size() > 19 && text[19] == u' ') text[19] = u'+';
    const QDateTime t = QDateTime::fromString(text, Qt::ISODate);
    if (!t.isValid()) return std::nullopt;
    return t.toMSecsSinceEpoch();
}

std::optional<qint64> idIn(const QString& path, const QRegularExpression& form)
{
    const QRegularExpressionMatch m = form.match(path);
    if (!m.hasMatch()) return std::nullopt;
    return m.captured(1).toLongLong();
}

}  // namespace

HttpFrontend::HttpFrontend(StatusProvider& provider, const Clock& clock,
                           std::optional<BasicAuth> auth)
    : m_provider(provider),
      m_clock(clock),
      m_auth(std::move(auth)),
      m_startedMs(clock.now().toMSecsSinceEpoch())
{
}

bool HttpFrontend::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket)
{
    Connection* c = Connection::of(socket);
    if (!c || c->refused()) return true;
    const bool head = request.method() == QHttpServerRequest::Method::Head;
    const bool close = request.value(QByteArrayLiteral("connection")).toLower().contains("close");
    const Connection::Ticket ticket = c->take(makeResponder(request, socket), head, close);
    // The answer may come after the client has gone, and with it the connection.
    route(request, [where = QPointer<Connection>(c), ticket](Reply r) {
        if (where) where->answer(ticket, std::move(r));
    });
    return true;
}

void HttpFrontend::missingHandler(const QHttpServerRequest&, QTcpSocket*) {}

void HttpFrontend::route(const QHttpServerRequest& request, const Answer& answer)
{
    const auto method = request.method();
    if (method != QHttpServerRequest::Method::Get && method != QHttpServerRequest::Method::Head) {
        Reply r = reply(Status::MethodNotAllowed, kText,
                        QByteArrayLiteral("Только чтение: GET и HEAD.\n"));
        r.headers.emplaceBack("Allow", "GET, HEAD");
        answer(std::move(r));
        return;
    }
    const QString path = request.url().path();
    if (path == QLatin1String("/healthz")) {
        answer(healthz());
        return;
    }
    if (m_auth && !m_auth->accepts(request.value(QByteArrayLiteral("authorization")))) {
        Reply r = reply(Status::Unauthorized, kText, QByteArrayLiteral("Нужен пароль.\n"));
        r.headers.emplaceBack("WWW-Authenticate", BasicAuth::challenge());
        answer(std::move(r));
        return;
    }
    routeAuthorised(path, request, answer);
}

void HttpFrontend::routeAuthorised(const QString& path, const QHttpServerRequest& request,
                                   const Answer& answer)
{
    static const QRegularExpression historyPath(
        QStringLiteral("^/api/v1/hosts/(\\d{1,18})/history$"));
    static const QRegularExpression hostPath(QStringLiteral("^/host/(\\d{1,18})$"));
    if (path == QLatin1String("/"))
        answer(cachedView(request, Page));
    else if (path == QLatin1String("/metrics"))
        answer(cachedView(request, Metrics));
    else if (path == QLatin1String("/api/v1/status"))
        answer(cachedView(request, StatusJson));
    else if (path == QLatin1String("/api/v1/events"))
        events(request, answer);
    else if (path.startsWith(QLatin1String("/static/")))
        answer(staticFile(path.mid(8)));
    else if (const auto id = idIn(path, historyPath))
        history(*id, request, answer);
    else if (const auto host = idIn(path, hostPath))
        hostPage(*host, request, answer);
    else if (path.startsWith(QLatin1String("/api/")))
        answer(jsonError(Status::NotFound, QStringLiteral("Нет такого адреса API.")));
    else
        answer(reply(Status::NotFound, kHtml,
                     messagePage(QStringLiteral("Страница не найдена"),
                                 QStringLiteral("Такой страницы нет."))));
}

Reply HttpFrontend::healthz()
{
    const QStringList problems =
        healthProblems(m_provider.snapshot().get(), m_provider.lastLookMs(),
                       m_clock.now().toMSecsSinceEpoch(), m_startedMs);
    if (problems.isEmpty()) return reply(Status::Ok, kText, QByteArrayLiteral("ok\n"));
    return reply(Status::ServiceUnavailable, kText, problems.join(u'\n').toUtf8() + '\n');
}

// The status, the metrics and the page change only with the snapshot: made once for each, and
// a client that has the current one is told so in a few bytes.
Reply HttpFrontend::cachedView(const QHttpServerRequest& request, int which)
{
    std::shared_ptr<const StatusSnapshot> s = m_provider.snapshot();
    if (!s) {
        if (which == Page) return reply(Status::Ok, kHtml, statusPage(nullptr));
        return notYet(which == StatusJson ? kJson : kText);
    }
    if (s->generation != m_views.generation) m_views = {s->generation, {}};
    const QByteArray etag = "\"g" + QByteArray::number(s->generation) + '"';
    const QByteArray type = which == StatusJson ? kJson : which == Metrics ? kMetrics : kHtml;
    if (request.value(QByteArrayLiteral("if-none-match")) == etag) {
        Reply r = reply(Status::NotModified, type, {});
        r.headers.emplaceBack("ETag", etag);
        return r;
    }
    QByteArray& made = m_views.made[which];
    if (made.isEmpty())
        made = which == StatusJson ? statusJson(*s)
               : which == Metrics  ? metricsText(*s)
                                   : statusPage(s.get());
    Reply r = reply(Status::Ok, type, made);
    r.headers.emplaceBack("ETag", etag);
    return r;
}

Reply HttpFrontend::staticFile(const QString& name)
{
    static const QHash<QString, QByteArray> types{
        {QStringLiteral("sentrok.css"), "text/css; charset=utf-8"},
        {QStringLiteral("sentrok.js"), "text/javascript; charset=utf-8"},
        {QStringLiteral("icon.svg"), "image/svg+xml"}};
    if (!types.contains(name))
        return reply(Status::NotFound, kText, QByteArrayLiteral("Нет такого файла.\n"));
    auto it = m_static.find(name);
    if (it == m_static.end()) {
        QFile file(QStringLiteral(":/web/static/") + name);
        StaticFile f;
        if (file.open(QIODevice::ReadOnly)) f.bytes = file.readAll();
        f.type = types.value(name);
        f.etag = '"' +
                 QCryptographicHash::hash(f.bytes, QCryptographicHash::Sha256).toHex().left(16) +
                 '"';
        it = m_static.insert(name, f);
    }
    Reply r = reply(Status::Ok, it->type, it->bytes);
    r.headers.emplaceBack("ETag", it->etag);
    return r;
}

void HttpFrontend::events(const QHttpServerRequest& request, const Answer& answer)
{
    const QUrlQuery query = request.query();
    bool ok = true;
    const qint64 after = query.hasQueryItem(QStringLiteral("after"))
                             ? query.queryItemValue(QStringLiteral("after")).toLongLong(&ok)
                             : 0;
    bool limitOk = true;
    const int limit = query.hasQueryItem(QStringLiteral("limit"))
                          ? query.queryItemValue(QStringLiteral("limit")).toInt(&limitOk)
                          : kDefaultEvents;
    if (!ok || after < 0 || !limitOk || limit < 1 || limit > kMaxEvents) {
        answer(jsonError(
            Status::BadRequest,
            QStringLiteral("after — номер события (целое число от 0), limit — от 1 до %1.")
                .arg(kMaxEvents)));
        return;
    }
    const std::shared_ptr<const StatusSnapshot> s = m_provider.snapshot();
    if (!s) {
        answer(notYet(kJson));
        return;
    }
    const auto give = [answer, newest = s->lastEventId, limit](std::vector<StatusEvent> events) {
        const bool more = int(events.size()) > limit;
        if (more) events.resize(std::size_t(limit));
        const qint64 last = events.empty() ? newest : events.back().id;
        answer(reply(Status::Ok, kJson, eventsJson(events, last, more)));
    };
    // The snapshot holds every event after its floor: no need to ask the database.
    if (after >= s->eventsFloor) {
        std::vector<StatusEvent> out;
        for (const StatusEvent& e : s->recentEvents)
            if (e.id > after && int(out.size()) <= limit) out.push_back(e);
        give(std::move(out));
        return;
    }
    if (!m_provider.eventsAfter(after, limit + 1, this, [answer, give](EventsAnswer a) {
            if (!a.error.isEmpty())
                answer(jsonError(Status::ServiceUnavailable, a.error));
            else
                give(std::move(a.events));
        }))
        answer(busy(true));
}

void HttpFrontend::history(qint64 id, const QHttpServerRequest& request, const Answer& answer)
{
    const std::shared_ptr<const StatusSnapshot> s = m_provider.snapshot();
    if (!s) {
        answer(notYet(kJson));
        return;
    }
    const HostStatus* host = s->find(id);
    if (!host) {
        answer(jsonError(Status::NotFound, QStringLiteral("Хоста %1 нет.").arg(id)));
        return;
    }
    const QUrlQuery query = request.query();
    const qint64 now = m_clock.now().toMSecsSinceEpoch();
    std::optional<qint64> to = now, from;
    if (query.hasQueryItem(QStringLiteral("to")))
        to = timeParameter(query.queryItemValue(QStringLiteral("to"), QUrl::FullyDecoded));
    if (query.hasQueryItem(QStringLiteral("from")))
        from = timeParameter(query.queryItemValue(QStringLiteral("from"), QUrl::FullyDecoded));
    else if (to)
        from = *to - 86'400'000;
    if (!from || !to || *from >= *to || *to - *from > kMaxHistoryMs) {
        answer(jsonError(
            Status::BadRequest,
            QStringLiteral("from и to — секунды от 1970-01-01 UTC или время ISO 8601; from раньше "
                           "to, и между ними не больше 31 дня.")));
        return;
    }
    if (!m_provider.hostReport(
            {id, *from, *to, false}, this,
            [answer, h = *host, from = *from, to = *to](HostReport r) {
                if (!r.error.isEmpty())
                    answer(jsonError(Status::ServiceUnavailable, r.error));
                else if (!r.found)
                    answer(jsonError(Status::NotFound, QStringLiteral("Хоста %1 нет.").arg(h.id)));
                else
                    answer(reply(Status::Ok, kJson, historyJson(h, r, from, to)));
            }))
        answer(busy(true));
}

void HttpFrontend::hostPage(qint64 id, const QHttpServerRequest& request, const Answer& answer)
{
    const std::shared_ptr<const StatusSnapshot> s = m_provider.snapshot();
    const HostStatus* host = s ? s->find(id) : nullptr;
    if (!host) {
        answer(reply(
            Status::NotFound, kHtml,
            messagePage(QStringLiteral("Хост не найден"),
                        s ? QStringLiteral("Хоста с номером %1 нет.").arg(id)
                          : QStringLiteral("Состояние хостов ещё не прочитано из базы данных."))));
        return;
    }
    static const QHash<QString, qint64> periods{{QStringLiteral("24h"), 86'400'000LL},
                                                {QStringLiteral("7d"), 7 * 86'400'000LL},
                                                {QStringLiteral("30d"), 30 * 86'400'000LL}};
    const QString period = request.query().hasQueryItem(QStringLiteral("period"))
                               ? request.query().queryItemValue(QStringLiteral("period"))
                               : QStringLiteral("24h");
    if (!periods.contains(period)) {
        answer(reply(Status::BadRequest, kHtml,
                     messagePage(QStringLiteral("Неверный период"),
                                 QStringLiteral("Период графика: 24h, 7d или 30d."))));
        return;
    }
    const qint64 to = m_clock.now().toMSecsSinceEpoch(), from = to - periods.value(period);
    if (!m_provider.hostReport(
            {id, from, to, true}, this, [answer, h = *host, period, from, to](HostReport r) {
                if (!r.found && r.error.isEmpty())
                    answer(reply(Status::NotFound, kHtml,
                                 messagePage(QStringLiteral("Хост не найден"),
                                             QStringLiteral("Хост удалён."))));
                else
                    answer(reply(Status::Ok, kHtml, web::hostPage(h, r, period, from, to)));
            }))
        answer(busy(false));
}

}  // namespace sentrok::web
