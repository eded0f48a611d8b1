#include "seriallink.h"
#include "simdevice.h"
#include "testsupport.h"

#include <QSerialPort>
#include <QtTest>

#include <memory>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

class TestSerialLink : public QObject {
    Q_OBJECT

private slots:
    void opensAndConfiguresLine();
    void refusesPort_data();
    void refusesPort();
    void refusesPortHeldByAnotherObject();
    void portIsFreeAfterClose();
    void oneDeviceUnderTwoNames_data();
    void oneDeviceUnderTwoNames();
};

void TestSerialLink::opensAndConfiguresLine() {
    sim::SimDevice device;
    QVERIFY(device.start());
    QSerialPort port;
    QVERIFY(transfer::openLink(port, device.portName()));
    QVERIFY(port.isOpen());
    QCOMPARE(port.openMode(), QIODevice::ReadWrite);

    // Read the line settings back from the terminal itself, not from the port object.
    const int fd = ::open(QFile::encodeName(device.portName()).constData(), O_RDWR | O_NOCTTY);
    QVERIFY(fd >= 0);
    termios tio{};
    const int got = ::tcgetattr(fd, &tio);
    ::close(fd);
    QCOMPARE(got, 0);
    QCOMPARE(::cfgetospeed(&tio), speed_t(B115200));
    QCOMPARE(::cfgetispeed(&tio), speed_t(B115200));
    QCOMPARE(tio.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(tio.c_cflag & PARENB, tcflag_t(0));
    QCOMPARE(tio.c_cflag & CSTOPB, tcflag_t(0));
    QCOMPARE(tio.c_cflag & CRTSCTS, tcflag_t(0));
    QCOMPARE(tio.c_iflag & (IXON | IXOFF), tcflag_t(0));
}

void TestSerialLink::refusesPort_data() {
    QTest::addColumn<QString>("name");
    QTest::newRow("empty name") << QString();
    QTest::newRow("missing short name") << QStringLiteral("ttyNoSuchPort9");
    QTest::newRow("missing path") << QStringLiteral("/dev/no-such-port");
    QTest::newRow("not a terminal") << QStringLiteral("regular-file");
}

void TestSerialLink::refusesPort() {
    QFETCH(QString, name);
    testsupport::TempFiles files;
    if (name == QLatin1String("regular-file"))
        name = files.write("plain.txt", "not a tty");
    QSerialPort port;
    QVERIFY(!transfer::openLink(port, name));
}

void TestSerialLink::refusesPortHeldByAnotherObject() {
    sim::SimDevice device;
    QVERIFY(device.start());
    QSerialPort holder;
    QVERIFY(transfer::openLink(holder, device.portName()));
    QSerialPort second;
    QVERIFY(!transfer::openLink(second, device.portName()));
    // The refused attempt leaves the holder's line working.
    QVERIFY(holder.isOpen());
    QCOMPARE(holder.write("{x}"), qint64(3));
    QVERIFY(holder.waitForBytesWritten(1000) || holder.bytesToWrite() == 0);
    QTRY_COMPARE(device.records(), QList<QByteArray>{"{x}"});
}

void TestSerialLink::portIsFreeAfterClose() {
    sim::SimDevice device;
    QVERIFY(device.start());
    {
        QSerialPort first;
        QVERIFY(transfer::openLink(first, device.portName()));
    }
    QSerialPort again;
    QVERIFY(transfer::openLink(again, device.portName()));
}

void TestSerialLink::oneDeviceUnderTwoNames_data() {
    QTest::addColumn<bool>("linkFirst");
    QTest::newRow("the port, then a link to it") << false;
    QTest::newRow("a link, then the port") << true;
}

void TestSerialLink::oneDeviceUnderTwoNames() {
    QFETCH(bool, linkFirst);
    sim::SimDevice device;
    QVERIFY(device.start());
    testsupport::TempFiles files;
    const QString link = files.path("board");
    QVERIFY(QFile::link(device.portName(), link));
    const QString firstName = linkFirst ? link : device.portName();
    const QString secondName = linkFirst ? device.portName() : link;

    auto first = std::make_unique<QSerialPort>();
    QVERIFY(transfer::openLink(*first, firstName));
    QCOMPARE(transfer::inUseAs(secondName), firstName);
    QSerialPort second;
    transfer::LinkFailure failure;
    QVERIFY(!transfer::openLink(second, secondName, &failure));
    QCOMPARE(failure.sameDeviceAs, firstName);
    QVERIFY(!second.isOpen());
    // The device, and the first port's line, are left as they were.
    QCOMPARE(first->write("{x}"), qint64(3));
    QVERIFY(first->waitForBytesWritten(1000) || first->bytesToWrite() == 0);
    QTRY_COMPARE(device.records(), QList<QByteArray>{"{x}"});

    // Freed when the first port is gone.
    first.reset();
    QVERIFY(transfer::inUseAs(secondName).isEmpty());
    QVERIFY(transfer::openLink(second, secondName, &failure));
}

QTEST_GUILESS_MAIN(TestSerialLink)
#include "tst_seriallink.moc"
