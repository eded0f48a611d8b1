#include "server.h"

#include "panel.h"

#include <QFile>
#include <QJsonDocument>

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

static void initPanelResources() {
    Q_INIT_RESOURCE(panel);
}

namespace panel {

int addressFamily(const QString &host) {
    // The HTTP library's header brings each system's socket headers.
    const QByteArray text = host.toLatin1();
    in6_addr address;
    if (inet_pton(AF_INET, text.constData(), &address) == 1)
        return AF_INET;
    if (inet_pton(AF_INET6, text.constData(), &address) == 1)
        return AF_INET6;
    return 0;
}

namespace {

// Worker threads for the connections, with a bounded queue: when every worker is busy and the
// queue is full, the accepting thread waits, and further clients wait in the kernel's backlog
// instead of in memory.
class BoundedPool : public httplib::TaskQueue {
public:
    BoundedPool(size_t threads, size_t queued, const std::atomic<bool> &stopping)
        : capacity_(queued)
        , stopping_(stopping) {
        for (size_t i = 0; i < threads; ++i)
            threads_.emplace_back([this] { work(); });
    }

    void enqueue(std::function<void()> fn) override {
        std::unique_lock<std::mutex> lock(mutex_);
        // Waits in slices so that a stop, which does not notify this pool, is seen promptly;
        // once stopping, the connection is still queued, to be closed by its worker.
        while (jobs_.size() >= capacity_ && !stopping_)
            room_.wait_for(lock, std::chrono::milliseconds(100));
        jobs_.push_back(std::move(fn));
        ready_.notify_one();
    }

    void shutdown() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            shutdown_ = true;
        }
        ready_.notify_all();
        for (auto &thread : threads_)
            thread.join();
    }

private:
    void work() {
        for (;;) {
            std::function<void()> fn;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                ready_.wait(lock, [this] { return shutdown_ || !jobs_.empty(); });
                if (jobs_.empty())
                    return;
                fn = std::move(jobs_.front());
                jobs_.pop_front();
                room_.notify_one();
            }
            fn();
        }
    }

    const size_t capacity_;
    const std::atomic<bool> &stopping_;
    std::vector<std::thread> threads_;
    std::deque<std::function<void()>> jobs_;
    bool shutdown_ = false;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable room_;
};

// More workers than streams allowed, so that the page, /status and /metrics are served while
// every stream is taken.
constexpr size_t workerCount = Panel::maxSubscriptions + 8;
constexpr size_t queuedConnections = 64;
// A request line, or a header block, longer than this is refused.
constexpr size_t maxHeaderBytes = 8 * 1024;

std::string reason(int status) {
    switch (status) {
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 413:
        return "Payload Too Large";
    case 414:
        return "URI Too Long";
    case 431:
        return "Request Header Fields Too Large";
    case 503:
        return "Service Unavailable";
    default:
        return "Error";
    }
}

QByteArray resource(const char *name) {
    QFile file(QString::fromLatin1(name));
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

} // namespace

struct Server::Private {
    explicit Private(Panel &p)
        : panel(p) {}

    Panel &panel;
    httplib::Server http;
    std::thread thread;
    std::atomic<bool> stopping{false};
    int port = 0;
};

Server::Server(Panel &panel)
    : d(std::make_unique<Private>(panel)) {
    initPanelResources();
    auto &http = d->http;
    http.new_task_queue = [this] {
        return new BoundedPool(workerCount, queuedConnections, d->stopping);
    };
    http.set_socket_options([](socket_t socket) { setListenOptions(qintptr(socket)); });
    http.set_read_timeout(2, 0);
    http.set_write_timeout(2, 0);
    http.set_keep_alive_timeout(2);
    http.set_payload_max_length(maxHeaderBytes);

    http.set_pre_routing_handler([](const httplib::Request &req, httplib::Response &res) {
        size_t headerBytes = 0;
        for (const auto &[name, value] : req.headers)
            headerBytes += name.size() + value.size() + 4;
        if (headerBytes > maxHeaderBytes ||
            req.method.size() + req.target.size() + req.version.size() + 4 > maxHeaderBytes) {
            res.status = 431;
            return httplib::Server::HandlerResponse::Handled;
        }
        if (req.method != "GET" && req.method != "HEAD") {
            res.status = 405;
            res.set_header("Allow", "GET, HEAD");
            return httplib::Server::HandlerResponse::Handled;
        }
        res.set_header("Cache-Control", "no-store");
        res.set_header("X-Content-Type-Options", "nosniff");
        return httplib::Server::HandlerResponse::Unhandled;
    });
    http.set_error_handler([](const httplib::Request &, httplib::Response &res) {
        if (res.body.empty())
            res.set_content(std::to_string(res.status) + " " + reason(res.status) + "\n",
                            "text/plain; charset=utf-8");
    });

    struct File {
        const char *path, *resource, *type;
    };
    for (const File &file : {File{"/", ":/panel/index.html", "text/html; charset=utf-8"},
                             File{"/panel.js", ":/panel/panel.js", "text/javascript"},
                             File{"/panel.css", ":/panel/panel.css", "text/css"}}) {
        const QByteArray body = resource(file.resource);
        const std::string type = file.type;
        http.Get(file.path, [body, type](const httplib::Request &, httplib::Response &res) {
            // The page runs only its own script and style, and cannot be framed.
            res.set_header("Content-Security-Policy",
                           "default-src 'none'; script-src 'self'; style-src 'self'; "
                           "connect-src 'self'; img-src 'self'; frame-ancestors 'none'");
            res.set_content(body.constData(), size_t(body.size()), type);
        });
    }
    http.Get("/status", [this](const httplib::Request &, httplib::Response &res) {
        res.set_content(
            QJsonDocument(d->panel.status()).toJson(QJsonDocument::Compact).toStdString(),
            "application/json");
    });
    http.Get("/metrics", [this](const httplib::Request &, httplib::Response &res) {
        res.set_content(d->panel.metrics().toStdString(),
                        "text/plain; version=0.0.4; charset=utf-8");
    });
    http.Get("/events", [this](const httplib::Request &, httplib::Response &res) {
        auto subscription = d->panel.subscribe();
        if (!subscription) {
            res.status = 503;
            res.set_header("Retry-After", "10");
            return;
        }
        auto pending = std::make_shared<std::deque<QByteArray>>();
        pending->push_back("retry: 2000\n\n");
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, subscription, pending](size_t, httplib::DataSink &sink) {
                auto idle = std::chrono::steady_clock::now();
                while (!d->stopping) {
                    for (; !pending->empty(); pending->pop_front()) {
                        if (!sink.write(pending->front().constData(),
                                        size_t(pending->front().size())))
                            return false;
                        idle = std::chrono::steady_clock::now();
                    }
                    if (!subscription->take(*pending, std::chrono::milliseconds(200)))
                        return false;
                    // A comment now and then finds the clients that went away.
                    if (pending->empty() &&
                        std::chrono::steady_clock::now() - idle > std::chrono::seconds(10))
                        pending->push_back(":\n\n");
                }
                return false;
            },
            [this, subscription](bool) { d->panel.unsubscribe(subscription); });
    });
}

Server::~Server() {
    stop();
}

namespace {

// host and port of "PORT", "ADDRESS:PORT" or "[IPv6]:PORT"; false when it reads as none.
bool splitAddress(const QString &address, QString *host, int *port) {
    *host = QStringLiteral("127.0.0.1");
    QString portText = address;
    const int colon = address.lastIndexOf(QLatin1Char(':'));
    if (colon >= 0) {
        *host = address.left(colon);
        portText = address.mid(colon + 1);
        if (host->startsWith(QLatin1Char('[')) && host->endsWith(QLatin1Char(']')))
            *host = host->mid(1, host->size() - 2);
        if (*host == QLatin1String("localhost"))
            *host = QStringLiteral("127.0.0.1");
    }
    bool numeric = false;
    *port = portText.toInt(&numeric);
    return numeric && *port >= 0 && *port <= 65535 && addressFamily(*host) != 0;
}

} // namespace

QString addressError(const QString &address) {
    QString host;
    int port = 0;
    if (splitAddress(address, &host, &port))
        return QString();
    return QStringLiteral("cannot listen on '%1': expected PORT or ADDRESS:PORT, with a numeric "
                          "address")
        .arg(address);
}

QString Server::listen(const QString &address) {
    if (d->thread.joinable())
        return QStringLiteral("the panel is already listening");
    QString host;
    int port = 0;
    if (!splitAddress(address, &host, &port))
        return addressError(address);
    const int family = addressFamily(host);
    d->http.set_address_family(family);

    clearSocketError();
    const std::string hostText = host.toStdString();
    d->port = port == 0                              ? d->http.bind_to_any_port(hostText)
              : d->http.bind_to_port(hostText, port) ? port
                                                     : -1;
    if (d->port <= 0) {
        const QString cause = socketErrorText();
        d->port = 0;
        return QStringLiteral("cannot listen on %1: %2")
            .arg(address, cause.isEmpty() ? QStringLiteral("the address cannot be bound") : cause);
    }
    d->stopping = false;
    d->thread = std::thread([this] { d->http.listen_after_bind(); });
    // httplib's stop() does nothing until its loop runs: a stop right after this must end it.
    while (!d->http.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return QString();
}

int Server::port() const {
    return d->port;
}

void Server::stop() {
    if (!d->thread.joinable())
        return;
    d->stopping = true;
    d->panel.closeAll();
    d->http.stop();
    d->thread.join();
    d->port = 0;
}

} // namespace panel
