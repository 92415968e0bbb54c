#include "web/webserver.h"

#include "store/dbworker.h"
#include "web/httpfrontend.h"

#include <QSslConfiguration>
#include <QSslSocket>
#include <QThread>

#include <sys/resource.h>
#include <unistd.h>

namespace sentrok::web {

namespace {

QString listenProblem(const QTcpServer& server, const HttpEndpoint& where)
{
    switch (server.serverError()) {
        case QAbstractSocket::AddressInUseError:
            return QStringLiteral("адрес %1 уже занят другой программой").arg(where.text());
        case QAbstractSocket::SocketAccessError:
            return QStringLiteral(
                       "нет прав слушать %1 (порты ниже 1024 — только с правами администратора)")
                .arg(where.text());
        case QAbstractSocket::SocketAddressNotAvailableError:
            return QStringLiteral("у этой машины нет адреса %1").arg(where.text());
        default:
            break;
    }
    return QStringLiteral("не удалось слушать %1: %2").arg(where.text(), server.errorString());
}

}  // namespace

WebServer::WebServer(StatusProvider& provider, const Clock& clock)
    : m_provider(provider), m_clock(clock)
{
}

WebServer::~WebServer() { stop(); }

QString WebServer::start(const WebOptions& options)
{
    stop();
    const auto fail = [](const QString& why) {
        return QStringLiteral("Веб-сервер не запущен: ") + why;
    };
    if (options.certFile.isEmpty() != options.keyFile.isEmpty())
        return fail(QStringLiteral("для HTTPS нужны и сертификат, и закрытый ключ"));
    std::optional<BasicAuth> auth;
    QString error;
    if (!options.passwordFile.isEmpty()) {
        const std::optional<QByteArray> password = readHttpPassword(options.passwordFile, &error);
        if (!password) return fail(error);
        auth.emplace(*password);
    }
    std::optional<QSslConfiguration> tls;
    if (!options.certFile.isEmpty()) {
        if (!QSslSocket::supportsSsl())
            return fail(QStringLiteral("для HTTPS нет библиотеки TLS (OpenSSL %1)")
                            .arg(QSslSocket::sslLibraryBuildVersionString()));
        tls = loadTlsConfiguration(options.certFile, options.keyFile, &error);
        if (!tls) return fail(error);
    }

    m_open = std::make_shared<std::atomic<int>>(0);
    m_thread = std::make_unique<QThread>();
    m_thread->setObjectName(QStringLiteral("sentrok-web"));
    m_thread->start();
    m_context = std::make_unique<QObject>();
    m_context->moveToThread(m_thread.get());
    QMetaObject::invokeMethod(
        m_context.get(),
        [&] {
            // A page asked for while a pass runs waits a little longer; the pass does not.
            setpriority(PRIO_PROCESS, gettid(), DbWorker::kBackgroundNice);
            auto frontend = std::make_unique<HttpFrontend>(m_provider, m_clock, std::move(auth));
            std::unique_ptr<QTcpServer> server;
            if (tls) {
                auto ssl = std::make_unique<GatedSslServer>(options.limits, m_open);
                ssl->setSslConfiguration(*tls);
                server = std::move(ssl);
            } else {
                server = std::make_unique<GatedTcpServer>(options.limits, m_open);
            }
            if (!server->listen(options.endpoint.address, options.endpoint.port)) {
                error = listenProblem(*server, options.endpoint);
                return;
            }
            m_port = server->serverPort();
            frontend->bind(server.release());
            m_frontend = frontend.release();
        },
        Qt::BlockingQueuedConnection);
    if (!m_frontend) {
        stop();
        return fail(error);
    }
    m_secure = tls.has_value();
    return {};
}

void WebServer::stop()
{
    if (!m_thread) return;
    if (m_frontend) {
        // Its sockets and timers belong to its thread: they go there.
        QMetaObject::invokeMethod(
            m_context.get(), [this] { delete m_frontend; }, Qt::BlockingQueuedConnection);
        m_frontend = nullptr;
    }
    m_thread->quit();
    m_thread->wait();
    m_thread.reset();
    m_context.reset();
    m_port = 0;
    m_secure = false;
}

}  // namespace sentrok::web
