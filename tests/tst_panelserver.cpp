#include "cause.h"
#include "panel.h"
#include "server.h"

#include <QtTest>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A connected socket to the server on loopback, or -1; reads time out after 5 s.
int connectTo(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(quint16(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const timeval timeout{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

struct Answer {
    int status = 0;
    QByteArray head, body;
};

// Sends the request as given and reads the answer until the server closes the connection.
Answer ask(int port, const QByteArray &request) {
    Answer answer;
    const int fd = connectTo(port);
    if (fd < 0 || write(fd, request.constData(), size_t(request.size())) != request.size()) {
        close(fd);
        return answer;
    }
    QByteArray all;
    char buffer[65536];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
        all.append(buffer, int(n));
    close(fd);
    const int end = all.indexOf("\r\n\r\n");
    answer.head = all.left(end);
    answer.body = end < 0 ? QByteArray() : all.mid(end + 4);
    if (all.startsWith("HTTP/1.1 ") || all.startsWith("HTTP/1.0 "))
        answer.status = all.mid(9, 3).toInt();
    return answer;
}

QByteArray get(const QByteArray &path, const QByteArray &headers = QByteArray()) {
    return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers +
           "Connection: close\r\n\r\n";
}

} // namespace

class TestPanelServer : public QObject {
    Q_OBJECT

private slots:
    void answers_data();
    void answers();
    void timesAreSecondsSinceTheEpoch();
    void pulledBoardsFailureHeldUntilNextBoard();
    void everyCauseKindHasReasonAndAction();
    void stalledStreamNeitherBlocksNorHoldsTheServer();
    void takenPortRefusedAndStopRightAfterListen();
    void closedStreamFreesItsPlaceAtOnce();
    void stopSendsTheLastEventsAndWaitsForNoClient();
};

void TestPanelServer::answers_data() {
    QTest::addColumn<QString>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("headerBytes");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("body");

    const QString longPath = "/status?" + QString(8300, 'a');
    QTest::newRow("POST refused") << "POST"
                                  << "/status" << 0 << 405 << "";
    QTest::newRow("unknown method") << "FOO"
                                    << "/status" << 0 << 405 << "";
    QTest::newRow("foreign host") << "GET"
                                  << "/status" << -1 << 421 << "";
    QTest::newRow("named host") << "GET"
                                << "/status" << -2 << 200 << "";
    QTest::newRow("one header over 8 KiB") << "GET"
                                           << "/status" << -3 << 431 << "";
    QTest::newRow("unknown path") << "GET"
                                  << "/nope" << 0 << 404 << "";
    QTest::newRow("request line over 8 KiB") << "GET" << longPath << 0 << 414 << "";
    QTest::newRow("header block over 8 KiB") << "GET"
                                             << "/status" << 9 << 431 << "";
    QTest::newRow("header block under 8 KiB") << "GET"
                                              << "/status" << 6 << 200 << "";
    QTest::newRow("metrics counter") << "GET"
                                     << "/metrics" << 0 << 200
                                     << "bootloader_boards_total{result=\"failed\",cause_kind=\"no-"
                                        "ack\",slot=\"unslotted\"} 1\n";
    QTest::newRow("metrics counters of a slot from 0")
        << "GET"
        << "/metrics" << 0 << 200
        << "bootloader_boards_total{result=\"loaded\",cause_kind=\"none\",slot=\"A\"} 0\n";
    QTest::newRow("metrics escape names")
        << "GET"
        << "/metrics" << 0 << 200
        << "bootloader_slot_state{slot=\"B\\\"\\\\1\\n\",state=\"failed\"} 1\n";
    QTest::newRow("metrics histogram")
        << "GET"
        << "/metrics" << 0 << 200
        << "bootloader_upload_seconds_bucket{result=\"failed\",le=\"3\"} "
           "2\nbootloader_upload_seconds_bucket{result=\"failed\",le=\"4\"} 3\n";
    QTest::newRow("metrics histogram of loads")
        << "GET"
        << "/metrics" << 0 << 200
        << "bootloader_upload_seconds_bucket{result=\"loaded\",le=\"10\"} "
           "0\nbootloader_upload_seconds_bucket{result=\"loaded\",le=\"12.5\"} 1\n";
    QTest::newRow("metrics failures in a row")
        << "GET"
        << "/metrics" << 0 << 200 << "bootloader_slot_consecutive_failures{slot=\"C\"} 2\n";
    QTest::newRow("metrics failures in a row end with a load")
        << "GET"
        << "/metrics" << 0 << 200 << "bootloader_slot_consecutive_failures{slot=\"D\"} 0\n";
    QTest::newRow("metrics never loaded")
        << "GET"
        << "/metrics" << 0 << 200
        << "bootloader_slot_last_loaded_timestamp_seconds{slot=\"C\"} 0\n";
    QTest::newRow("metrics resends")
        << "GET"
        << "/metrics" << 0 << 200 << "bootloader_resends_total{slot=\"C\"} 5\n";
    QTest::newRow("metrics build info")
        << "GET"
        << "/metrics" << 0 << 200 << "\nbootloader_build_info{version=\"1.0\"} 1\n";
    QTest::newRow("metrics image info apart")
        << "GET"
        << "/metrics" << 0 << 200
        << "\nbootloader_info{station=\"line-1\",image=\"<img src=x onerror=alert(1)>.bin\","
           "sha256=\"ab12\"} 1\n";
    QTest::newRow("metrics slot state") << "GET"
                                        << "/metrics" << 0 << 200
                                        << "bootloader_slot_state{slot=\"A\",state=\"loading\"} "
                                           "1\nbootloader_slot_state{slot=\"A\","
                                           "state=\"loaded\"} 0\n";
    QTest::newRow("status escapes names")
        << "GET"
        << "/status" << 0 << 200
        << "\"cause\":\"no \\\"reply\\\"\",\"cause_kind\":\"no-ack\",\"percent\":0,"
           "\"port\":\"/dev/<b>\",\"seconds\":3.5,\"slot\":\"B\\\"\\\\1\\n\"";
}

void TestPanelServer::answers() {
    QFETCH(QString, method);
    QFETCH(QString, path);
    QFETCH(int, headerBytes);
    QFETCH(int, status);
    QFETCH(QString, body);

    panel::Panel panel;
    panel.setImage("<img src=x onerror=alert(1)>.bin", "ab12", "1.0");
    panel.addSlot("A", "/dev/ttyUSB0");
    panel.started("A", "/dev/ttyUSB0", 10);
    panel.progress("A", 42.5);
    panel.started("B\"\\1\n", "/dev/<b>", 10);
    panel.finished("B\"\\1\n", false, "no-ack", "no \"reply\"", 3.5);
    panel.setStation("line-1");
    panel.addSlot("C", "/dev/ttyUSB2");
    panel.finished("C", false, "no-ack", "no reply", 2, 4);
    panel.finished("C", false, "device-gone", "gone", 1, 1);
    panel.addSlot("D", "/dev/ttyUSB3");
    panel.finished("D", false, "no-ack", "no reply", 20);
    panel.finished("D", true, QString(), QString(), 12);
    panel::Server server(panel);
    server.setHosts({"Line1.Plant"});
    QCOMPARE(server.listen("127.0.0.1:0"), QString());

    QByteArray headers;
    if (headerBytes == -3)
        headers = "X-Long: " + QByteArray(9000, 'x') + "\r\n";
    for (int i = 0; i < headerBytes; ++i)
        headers += "X-Filler-" + QByteArray::number(i) + ": " + QByteArray(1000, 'x') + "\r\n";
    if (method == "POST")
        headers += "Content-Type: text/plain\r\nContent-Length: 0\r\n";
    QByteArray request = get(path.toUtf8(), headers);
    request.replace(0, 3, method.toLatin1());
    if (headerBytes == -1 || headerBytes == -2)
        request.replace("Host: 127.0.0.1",
                        headerBytes == -1 ? "Host: evil.example:8080" : "Host: line1.plant:8080");
    const Answer result = ask(server.port(), request);
    QCOMPARE(result.status, status);
    QVERIFY2(result.body.contains(body.toUtf8()), result.body.constData());
}

void TestPanelServer::timesAreSecondsSinceTheEpoch() {
    const double before = double(QDateTime::currentSecsSinceEpoch());
    panel::Panel panel;
    panel.addSlot("A", "/dev/ttyUSB0");
    panel.finished("A", true, QString(), QString(), 1);
    const double after = double(QDateTime::currentSecsSinceEpoch()) + 1;
    const QByteArray metrics = panel.metrics();
    for (const QByteArray &name : {QByteArray("process_start_time_seconds "),
                                   QByteArray("bootloader_slot_last_loaded_timestamp_seconds"
                                              "{slot=\"A\"} ")}) {
        const int at = metrics.indexOf("\n" + name);
        QVERIFY2(at >= 0, name.constData());
        const int from = at + 1 + name.size();
        const double value = metrics.mid(from, metrics.indexOf('\n', from) - from).toDouble();
        QVERIFY2(value >= before && value <= after, qPrintable(QString::number(value, 'f')));
    }
}

void TestPanelServer::pulledBoardsFailureHeldUntilNextBoard() {
    panel::Panel panel;
    panel.addSlot("A", "/dev/ttyUSB0");
    const auto tile = [&panel](int i) { return panel.status()["slots"].toArray()[i].toObject(); };
    panel.started("A", "/dev/ttyUSB0", 10);
    panel.finished("A", false, "device-gone", "the device went away", 1);
    panel.gone("A");
    // Still failed, with its cause, for the hold.
    QCOMPARE(tile(0)["state"].toString(), "failed");
    QCOMPARE(tile(0)["cause_kind"].toString(), "device-gone");
    const qint64 waitingIn = tile(0)["waiting_in"].toVariant().toLongLong();
    QVERIFY2(waitingIn > 0 && waitingIn <= panel::Panel::failureHold.count(),
             qPrintable(QString::number(waitingIn)));
    // A new board ends the hold at once.
    panel.started("A", "/dev/ttyUSB0", 10);
    QCOMPARE(tile(0)["state"].toString(), "loading");
    QVERIFY(!tile(0).contains("waiting_in"));
}

void TestPanelServer::everyCauseKindHasReasonAndAction() {
    Q_INIT_RESOURCE(panel);
    QFile page(":/panel/panel.js");
    QVERIFY(page.open(QIODevice::ReadOnly));
    const QByteArray script = page.readAll();
    for (int kind = 0; kind <= int(transfer::Cause::Kind::UnitUnknown); ++kind) {
        const QByteArray entry =
            "'" + transfer::kindName(transfer::Cause::Kind(kind)).toUtf8() + "': ['";
        QVERIFY2(script.contains(entry), entry.constData());
    }
}

void TestPanelServer::stalledStreamNeitherBlocksNorHoldsTheServer() {
    panel::Panel panel;
    panel::Server server(panel);
    QCOMPARE(server.listen("0"), QString());
    // A client that asks for the stream and never reads it.
    const int stalled = connectTo(server.port());
    QVERIFY(stalled >= 0);
    const char request[] = "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    QCOMPARE(write(stalled, request, sizeof request - 1), ssize_t(sizeof request - 1));
    char head[64];
    QVERIFY(read(stalled, head, sizeof head) > 0); // subscribed once the answer begins

    // Far more than the socket's buffers and the client's queue hold: not one call waits.
    const QString cause(4096, 'c');
    for (int i = 0; i < 20000; ++i)
        panel.finished("A", false, "no-ack", cause, 1);
    QCOMPARE(panel.status().value("failed").toInt(), 20000);
    QCOMPARE(ask(server.port(), get("/status")).status, 200);
    // Cut off: what the server sent ends, far short of what was published (80 MiB).
    qint64 received = 0;
    for (char buffer[65536]; (received < (64 << 20));) {
        const ssize_t n = read(stalled, buffer, sizeof buffer);
        if (n <= 0)
            break;
        received += n;
    }
    close(stalled);
    QVERIFY2(received < (16 << 20), qPrintable(QString::number(received)));
    server.stop();
}

void TestPanelServer::takenPortRefusedAndStopRightAfterListen() {
    panel::Panel panel;
    panel::Server first(panel), second(panel);
    QCOMPARE(first.listen("127.0.0.1:0"), QString());
    const QString taken = "127.0.0.1:" + QString::number(first.port());
    QCOMPARE(second.listen(taken), "cannot listen on " + taken + ": Address already in use");
    first.stop(); // at once after listen(): ends, and frees the port
    QCOMPARE(second.listen(taken), QString());
}

void TestPanelServer::closedStreamFreesItsPlaceAtOnce() {
    panel::Panel panel;
    panel::Server server(panel);
    QCOMPARE(server.listen("0"), QString());
    // Every place taken, then one client goes: its place is free long before the next
    // keep-alive would have found it gone.
    std::vector<int> streams;
    for (size_t i = 0; i < panel::Panel::maxSubscriptions; ++i) {
        streams.push_back(connectTo(server.port()));
        const QByteArray request = get("/events");
        QCOMPARE(write(streams.back(), request.constData(), size_t(request.size())),
                 ssize_t(request.size()));
        char head[13] = {};
        QVERIFY(read(streams.back(), head, 12) == 12);
        QCOMPARE(QByteArray(head), QByteArray("HTTP/1.1 200"));
    }
    QCOMPARE(ask(server.port(), get("/events")).status, 503);
    close(streams.back());
    streams.pop_back();
    QElapsedTimer timer;
    timer.start();
    QByteArray head;
    while (timer.elapsed() < 3000) {
        const int probe = connectTo(server.port());
        const QByteArray request = get("/events");
        char answer[13] = {};
        const bool read12 =
            write(probe, request.constData(), size_t(request.size())) == request.size() &&
            read(probe, answer, 12) == 12;
        close(probe);
        head = answer;
        if (!read12 || head == "HTTP/1.1 200")
            break;
        QTest::qWait(20);
    }
    for (int fd : streams)
        close(fd);
    QCOMPARE(head, QByteArray("HTTP/1.1 200"));
}

void TestPanelServer::stopSendsTheLastEventsAndWaitsForNoClient() {
    panel::Panel panel;
    panel::Server server(panel);
    QCOMPARE(server.listen("0"), QString());
    const int reader = connectTo(server.port());
    const QByteArray request = get("/events");
    QCOMPARE(write(reader, request.constData(), size_t(request.size())), ssize_t(request.size()));
    char head[12];
    QVERIFY(read(reader, head, sizeof head) == sizeof head);
    // Clients that never finish their request, and one that asks for the stream and never reads.
    std::vector<int> slow;
    for (int i = 0; i < 20; ++i) {
        slow.push_back(connectTo(server.port()));
        QVERIFY(write(slow.back(), "GET / HTTP/1.1\r\nHost: 127", 25) == 25);
    }
    slow.push_back(connectTo(server.port()));
    QVERIFY(write(slow.back(), request.constData(), size_t(request.size())) == request.size());
    QTest::qWait(100);
    panel.finished("A1", true, QString(), QString(), 2.5);

    QElapsedTimer timer;
    timer.start();
    server.stop();
    const qint64 stopMs = timer.elapsed();
    QByteArray received;
    char buffer[4096];
    for (ssize_t n; (n = read(reader, buffer, sizeof buffer)) > 0;)
        received.append(buffer, int(n));
    close(reader);
    for (int fd : slow)
        close(fd);
    QVERIFY2(received.contains("\"event\":\"result\""), received.constData());
    // Half a second for the streams to take what is theirs, and no wait for any client.
    QVERIFY2(stopMs < 1000, qPrintable(QString::number(stopMs)));
}

QTEST_GUILESS_MAIN(TestPanelServer)
#include "tst_panelserver.moc"
