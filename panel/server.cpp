#include "server.h"

#include "panel.h"

#include <QFile>
#include <QJsonDocument>

#include <microhttpd.h>
#if defined(_WIN32)
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>

static void initPanelResources() {
    Q_INIT_RESOURCE(panel);
}

namespace panel {

int addressFamily(const QString &host) {
    const QByteArray text = host.toLatin1();
    in6_addr address;
    if (inet_pton(AF_INET, text.constData(), &address) == 1)
        return AF_INET;
    if (inet_pton(AF_INET6, text.constData(), &address) == 1)
        return AF_INET6;
    return 0;
}

namespace {

using Clock = std::chrono::steady_clock;

// A request line, or a header block, longer than this is refused (414, 431).
constexpr size_t maxHeaderBytes = 8 * 1024;
// The most a connection holds while its request arrives: the request line, the headers, and
// the answer's buffer. A request that does not fit is answered 414 or 431 as it arrives, never
// read further.
constexpr size_t connectionMemory = 32 * 1024;
// A connection on which nothing moved for this long is closed (a stream waiting for events is
// not idle: it is sent a comment every keepAlive).
constexpr unsigned idleSeconds = 10;
constexpr auto keepAlive = std::chrono::seconds(8);
// Connections the kernel holds for the server before they are accepted: bursts of screens and
// scrapers.
constexpr int listenBacklog = 1024;
// How often the streams waiting for events are looked at, and how long a stop waits for what
// the streams still have to send.
constexpr int watchMs = 20;
constexpr auto flushTime = std::chrono::milliseconds(500);

const char *reason(unsigned status) {
    switch (status) {
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 414:
        return "URI Too Long";
    case 421:
        return "Misdirected Request";
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

// The client's address as a key for the limits per address; empty for loopback, which is this
// machine, whose screens and scrapers share one address.
std::string addressKey(const sockaddr *address) {
    if (!address)
        return std::string();
    if (address->sa_family == AF_INET) {
        const auto *in4 = reinterpret_cast<const sockaddr_in *>(address);
        const auto *bytes = reinterpret_cast<const unsigned char *>(&in4->sin_addr);
        if (bytes[0] == 127)
            return std::string();
        return std::string(reinterpret_cast<const char *>(bytes), 4);
    }
    if (address->sa_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(address);
        const auto *bytes = reinterpret_cast<const unsigned char *>(&in6->sin6_addr);
        static const unsigned char loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
        static const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
        if (std::memcmp(bytes, loopback, 16) == 0 ||
            (std::memcmp(bytes, mapped, 12) == 0 && bytes[12] == 127))
            return std::string();
        return std::string(reinterpret_cast<const char *>(bytes), 16);
    }
    return std::string();
}

// The name of a Host header, without its port, in lower case.
QString hostName(const QString &header) {
    QString name = header.trimmed().toLower();
    if (name.startsWith(QLatin1Char('['))) {
        const int end = name.indexOf(QLatin1Char(']'));
        return end < 0 ? QString() : name.mid(1, end - 1);
    }
    const int colon = name.indexOf(QLatin1Char(':'));
    if (colon >= 0)
        name.truncate(colon);
    if (name.endsWith(QLatin1Char('.')))
        name.chop(1);
    return name;
}

struct Sizes {
    size_t bytes = 0;
};

MHD_Result addSize(void *cls, MHD_ValueKind, const char *key, const char *value) {
    // Name, ": " or "=" and "&", the value, and the line's end.
    static_cast<Sizes *>(cls)->bytes += std::strlen(key) + (value ? std::strlen(value) : 0) + 4;
    return MHD_YES;
}

} // namespace

// One client's event stream: what it has still to be sent, and whether its connection is
// suspended, waiting for events. Every member is guarded by the server's mutex.
struct Stream {
    Server::Private *d = nullptr;
    std::shared_ptr<Subscription> subscription;
    MHD_Connection *connection = nullptr;
    qintptr socket = -1;
    std::string address;
    std::deque<QByteArray> pending;
    size_t sent = 0; // of pending.front()
    bool suspended = false;
    // The client went away (seen while suspended), or the panel cut the subscription.
    bool gone = false;
    bool cut = false;
    Clock::time_point lastSent = Clock::now();
};

struct Server::Private {
    explicit Private(Panel &p)
        : panel(p) {}

    Panel &panel;
    QByteArray page, script, style;
    QStringList hosts;
    QString listenHost;
    MHD_Daemon *daemon = nullptr;
    int port = 0;

    std::mutex mutex;
    std::condition_variable streamEnded;
    std::set<Stream *> streams;
    std::map<std::string, int> streamsByAddress;
    bool stopping = false;
    // Connections by client address: touched by the server's thread only.
    std::map<std::string, unsigned> connectionsByAddress;
    std::atomic<bool> watching{false};
    std::thread watcher;

    bool hostAllowed(const char *header) const;
    MHD_Result answer(MHD_Connection *connection, const char *url, const char *method,
                      const char *version);
    MHD_Result events(MHD_Connection *connection, bool head);
    void watch();
};

namespace {

void commonHeaders(MHD_Response *response) {
    MHD_add_response_header(response, "Cache-Control", "no-store");
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
}

MHD_Result send(MHD_Connection *connection, unsigned status, const QByteArray &body,
                const char *type, const char *csp = nullptr) {
    MHD_Response *response = MHD_create_response_from_buffer(
        size_t(body.size()), const_cast<char *>(body.constData()), MHD_RESPMEM_MUST_COPY);
    if (!response)
        return MHD_NO;
    commonHeaders(response);
    MHD_add_response_header(response, "Content-Type", type);
    if (csp)
        MHD_add_response_header(response, "Content-Security-Policy", csp);
    if (status == 405)
        MHD_add_response_header(response, "Allow", "GET, HEAD");
    if (status == 503)
        MHD_add_response_header(response, "Retry-After", "10");
    const MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

MHD_Result refuse(MHD_Connection *connection, unsigned status) {
    return send(connection, status, QByteArray::number(status) + ' ' + reason(status) + '\n',
                "text/plain; charset=utf-8");
}

ssize_t readStream(void *cls, uint64_t, char *buffer, size_t max) {
    auto *stream = static_cast<Stream *>(cls);
    Server::Private *d = stream->d;
    std::lock_guard<std::mutex> lock(d->mutex);
    if (stream->gone)
        return MHD_CONTENT_READER_END_WITH_ERROR;
    if (!stream->cut && !stream->subscription->take(stream->pending, std::chrono::milliseconds(0)))
        stream->cut = true;
    size_t n = 0;
    while (n < max && !stream->pending.empty()) {
        const QByteArray &front = stream->pending.front();
        const size_t part = std::min(max - n, size_t(front.size()) - stream->sent);
        std::memcpy(buffer + n, front.constData() + stream->sent, part);
        n += part;
        stream->sent += part;
        if (stream->sent == size_t(front.size())) {
            stream->pending.pop_front();
            stream->sent = 0;
        }
    }
    if (n > 0) {
        stream->lastSent = Clock::now();
        return ssize_t(n);
    }
    if (stream->cut || d->stopping)
        return MHD_CONTENT_READER_END_OF_STREAM;
    // Nothing to send: out of the server's loop until the watcher resumes it, under the lock
    // so that it is suspended before the watcher can see it so.
    stream->suspended = true;
    MHD_suspend_connection(stream->connection);
    return 0;
}

void endStream(void *cls) {
    auto *stream = static_cast<Stream *>(cls);
    Server::Private *d = stream->d;
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->streams.erase(stream);
        if (!stream->address.empty() && --d->streamsByAddress[stream->address] <= 0)
            d->streamsByAddress.erase(stream->address);
    }
    d->panel.unsubscribe(stream->subscription);
    delete stream;
    d->streamEnded.notify_all();
}

MHD_Result acceptClient(void *cls, const sockaddr *address, socklen_t) {
    auto *d = static_cast<Server::Private *>(cls);
    const std::string key = addressKey(address);
    if (key.empty())
        return MHD_YES;
    const auto it = d->connectionsByAddress.find(key);
    return it == d->connectionsByAddress.end() || it->second < Server::maxConnectionsPerAddress
               ? MHD_YES
               : MHD_NO;
}

void noteConnection(void *cls, MHD_Connection *connection, void **context,
                    MHD_ConnectionNotificationCode code) {
    auto *d = static_cast<Server::Private *>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        const MHD_ConnectionInfo *info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        const std::string key = addressKey(info ? info->client_addr : nullptr);
        if (!key.empty()) {
            ++d->connectionsByAddress[key];
            *context = new std::string(key);
        }
    } else if (code == MHD_CONNECTION_NOTIFY_CLOSED && *context) {
        auto *key = static_cast<std::string *>(*context);
        if (--d->connectionsByAddress[*key] == 0)
            d->connectionsByAddress.erase(*key);
        delete key;
        *context = nullptr;
    }
}

MHD_Result handle(void *cls, MHD_Connection *connection, const char *url, const char *method,
                  const char *version, const char *, size_t *, void **) {
    return static_cast<Server::Private *>(cls)->answer(connection, url, method, version);
}

} // namespace

bool Server::Private::hostAllowed(const char *header) const {
    // Without a Host header (HTTP/1.0) there is no name to check; browsers always send one.
    if (!header)
        return true;
    const QString name = hostName(QString::fromLatin1(header));
    if (name == QLatin1String("localhost") || hosts.contains(name))
        return true;
    if (listenHost == QLatin1String("0.0.0.0") || listenHost == QLatin1String("::"))
        return addressFamily(name) != 0;
    return addressFamily(name) != 0 && name == listenHost.toLower();
}

MHD_Result Server::Private::answer(MHD_Connection *connection, const char *url, const char *method,
                                   const char *version) {
    Sizes line;
    line.bytes = std::strlen(method) + std::strlen(url) + std::strlen(version) + 4;
    MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, addSize, &line);
    if (line.bytes > maxHeaderBytes)
        return refuse(connection, 414);
    Sizes headers;
    MHD_get_connection_values(connection, MHD_HEADER_KIND, addSize, &headers);
    if (headers.bytes > maxHeaderBytes)
        return refuse(connection, 431);
    // A name that is not this server's: a page whose name was pointed at this machine.
    if (!hostAllowed(MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Host")))
        return refuse(connection, 421);
    const bool head = std::strcmp(method, "HEAD") == 0;
    if (!head && std::strcmp(method, "GET") != 0)
        return refuse(connection, 405);

    static const char csp[] = "default-src 'none'; script-src 'self'; style-src 'self'; "
                              "connect-src 'self'; img-src 'self'; frame-ancestors 'none'";
    const std::string path = url;
    if (path == "/")
        return send(connection, 200, page, "text/html; charset=utf-8", csp);
    if (path == "/panel.js")
        return send(connection, 200, script, "text/javascript", csp);
    if (path == "/panel.css")
        return send(connection, 200, style, "text/css", csp);
    if (path == "/status")
        return send(connection, 200, QJsonDocument(panel.status()).toJson(QJsonDocument::Compact),
                    "application/json");
    if (path == "/metrics")
        return send(connection, 200, panel.metrics(), "text/plain; version=0.0.4; charset=utf-8");
    if (path == "/events")
        return events(connection, head);
    return refuse(connection, 404);
}

MHD_Result Server::Private::events(MHD_Connection *connection, bool head) {
    // The stream is the page's own: another site's page is not given a place in it.
    const char *site = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Sec-Fetch-Site");
    const char *origin = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Origin");
    const char *host = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Host");
    if ((site && std::strcmp(site, "same-origin") != 0 && std::strcmp(site, "none") != 0) ||
        (origin && (!host || std::string(origin) != std::string("http://") + host)))
        return refuse(connection, 403);
    if (head)
        return send(connection, 200, QByteArray(), "text/event-stream");

    const MHD_ConnectionInfo *client =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    const MHD_ConnectionInfo *socket =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    const std::string address = addressKey(client ? client->client_addr : nullptr);
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (stopping || (!address.empty() && streamsByAddress[address] >= maxStreamsPerAddress))
            return refuse(connection, 503);
    }
    auto subscription = panel.subscribe();
    if (!subscription)
        return refuse(connection, 503);

    auto *stream = new Stream;
    stream->d = this;
    stream->subscription = subscription;
    stream->connection = connection;
    stream->socket = socket ? qintptr(socket->connect_fd) : -1;
    stream->address = address;
    stream->pending.push_back("retry: 2000\n\n");
    MHD_Response *response =
        MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, readStream, stream, endStream);
    if (!response) {
        panel.unsubscribe(subscription);
        delete stream;
        return MHD_NO;
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        streams.insert(stream);
        if (!address.empty())
            ++streamsByAddress[address];
    }
    commonHeaders(response);
    MHD_add_response_header(response, "Content-Type", "text/event-stream");
    const MHD_Result queued = MHD_queue_response(connection, 200, response);
    // Ends the stream (endStream) whether queued or not.
    MHD_destroy_response(response);
    return queued;
}

// Resumes each suspended stream that has something to send, whose client went away, or that
// has been quiet for keepAlive, and every one once the server stops.
void Server::Private::watch() {
    while (watching) {
        std::vector<Stream *> waiting;
        std::vector<qintptr> sockets;
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (Stream *stream : streams) {
                if (stream->suspended) {
                    waiting.push_back(stream);
                    sockets.push_back(stream->socket);
                }
            }
        }
        const std::vector<bool> closed = hungUp(sockets, watchMs);
        std::vector<MHD_Connection *> resume;
        {
            std::lock_guard<std::mutex> lock(mutex);
            const auto now = Clock::now();
            // A suspended stream stays until it is resumed, and only this thread resumes.
            for (Stream *stream : streams) {
                if (!stream->suspended)
                    continue;
                const auto seen = std::find(waiting.begin(), waiting.end(), stream);
                if (seen != waiting.end() && closed[size_t(seen - waiting.begin())])
                    stream->gone = true;
                if (!stream->cut &&
                    !stream->subscription->take(stream->pending, std::chrono::milliseconds(0)))
                    stream->cut = true;
                if (stream->pending.empty() && now - stream->lastSent > keepAlive)
                    stream->pending.push_back(":\n\n");
                if (stream->gone || stream->cut || stopping || !stream->pending.empty()) {
                    stream->suspended = false;
                    resume.push_back(stream->connection);
                }
            }
        }
        for (MHD_Connection *connection : resume)
            MHD_resume_connection(connection);
    }
}

Server::Server(Panel &panel)
    : d(std::make_unique<Private>(panel)) {
    initPanelResources();
    d->page = resource(":/panel/index.html");
    d->script = resource(":/panel/panel.js");
    d->style = resource(":/panel/panel.css");
}

Server::~Server() {
    stop();
}

void Server::setHosts(const QStringList &names) {
    d->hosts.clear();
    for (const QString &name : names)
        d->hosts.append(hostName(name));
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
    if (d->daemon)
        return QStringLiteral("the panel is already listening");
    QString host;
    int port = 0;
    if (!splitAddress(address, &host, &port))
        return addressError(address);
    QString cause;
    const qintptr listener = openListener(host, port, listenBacklog, &cause);
    if (listener == -1)
        return QStringLiteral("cannot listen on %1: %2")
            .arg(address, cause.isEmpty() ? QStringLiteral("the address cannot be bound") : cause);
    d->listenHost = host;
    d->stopping = false;
    const unsigned flags = MHD_USE_AUTO_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME |
                           (addressFamily(host) == AF_INET6 ? MHD_USE_IPv6 : 0);
    d->daemon = MHD_start_daemon(
        flags, 0, acceptClient, d.get(), handle, d.get(), MHD_OPTION_LISTEN_SOCKET,
        MHD_socket(listener), MHD_OPTION_CONNECTION_LIMIT, unsigned(maxConnections),
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, connectionMemory, MHD_OPTION_CONNECTION_TIMEOUT,
        idleSeconds, MHD_OPTION_NOTIFY_CONNECTION, noteConnection, d.get(), MHD_OPTION_END);
    if (!d->daemon) {
        closeSocket(listener);
        return QStringLiteral("cannot listen on %1: the server cannot start").arg(address);
    }
    d->port = boundPort(listener);
    d->watching = true;
    d->watcher = std::thread([this] { d->watch(); });
    return QString();
}

int Server::port() const {
    return d->port;
}

QString Server::boundAddress() const {
    if (!d->daemon)
        return QString();
    const QString host = addressFamily(d->listenHost) == AF_INET6
                             ? QLatin1Char('[') + d->listenHost + QLatin1Char(']')
                             : d->listenHost;
    return host + QLatin1Char(':') + QString::number(d->port);
}

void Server::stop() {
    if (!d->daemon)
        return;
    {
        // What was published before the stop goes to every stream, then the streams end.
        std::unique_lock<std::mutex> lock(d->mutex);
        d->stopping = true;
        for (Stream *stream : d->streams) {
            if (!stream->cut &&
                !stream->subscription->take(stream->pending, std::chrono::milliseconds(0)))
                stream->cut = true;
        }
        d->streamEnded.wait_for(lock, flushTime, [this] { return d->streams.empty(); });
    }
    d->watching = false;
    d->watcher.join();
    // The server is not to be stopped with a connection suspended.
    std::vector<MHD_Connection *> resume;
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        for (Stream *stream : d->streams) {
            if (stream->suspended) {
                stream->suspended = false;
                resume.push_back(stream->connection);
            }
        }
    }
    for (MHD_Connection *connection : resume)
        MHD_resume_connection(connection);
    MHD_stop_daemon(d->daemon);
    d->daemon = nullptr;
    d->port = 0;
}

} // namespace panel
