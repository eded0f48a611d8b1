#include "portcheck.h"
#include "ports.h"
#include "portwatch.h"
#include "programs.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QSerialPort>
#include <QtTest>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using ports::PortInfo;
using ports::PortList;

Q_DECLARE_METATYPE(ports::PortList)

namespace {

PortInfo usbPort(const QString &name, quint16 vendor, quint16 product, const QString &serial) {
    PortInfo port;
    port.name = name;
    port.path = QStringLiteral("/dev/") + name;
    port.usb = true;
    port.vendor = vendor;
    port.product = product;
    port.serial = serial;
    return port;
}

// Two adapters of one make told apart by their serial numbers, a third of that make without
// one, another make, and a port that is not on USB.
const PortList kMadeUp = {usbPort("ttyUSB0", 0x0403, 0x6001, "A10K1"),
                          usbPort("ttyUSB1", 0x0403, 0x6001, "B20K2"),
                          usbPort("ttyUSB2", 0x0403, 0x6015, QString()),
                          usbPort("ttyACM0", 0x2341, 0x0043, "7563"),
                          {"ttyS0", "/dev/ttyS0", false, 0, 0, {}, {}, {}, {}}};

} // namespace

class TestPorts : public QObject {
    Q_OBJECT

private slots:
    void resolvesOperands_data();
    void resolvesOperands();
    void selectsByUsbIdentity_data();
    void selectsByUsbIdentity();
    void sameDeviceUnderTwoNames();
    void usbAdapterFromSystemDescription_data();
    void usbAdapterFromSystemDescription();
    void selectorMatchesCaseAndDev();
    void portWatch();
};

void TestPorts::resolvesOperands_data() {
    QTest::addColumn<QString>("operand");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("serial");
    QTest::addColumn<QString>("error");

    QTest::newRow("short name") << "ttyUSB1"
                                << "/dev/ttyUSB1"
                                << "B20K2"
                                << "";
    QTest::newRow("path") << "/dev/ttyUSB0"
                          << "/dev/ttyUSB0"
                          << "A10K1"
                          << "";
    QTest::newRow("not on USB") << "ttyS0"
                                << "/dev/ttyS0"
                                << ""
                                << "";
    QTest::newRow("by serial number") << "usb:0403:6001:B20K2"
                                      << "/dev/ttyUSB1"
                                      << "B20K2"
                                      << "";
    QTest::newRow("serial number in any case") << "usb:403:6001:a10k1"
                                               << "/dev/ttyUSB0"
                                               << "A10K1"
                                               << "";
    QTest::newRow("one of its make") << "usb:0403:6015"
                                     << "/dev/ttyUSB2"
                                     << ""
                                     << "";
    QTest::newRow("several of its make")
        << "usb:0403:6001"
        << ""
        << ""
        << "usb:0403:6001 matches 2 ports: /dev/ttyUSB0 (serial A10K1), /dev/ttyUSB1 (serial "
           "B20K2); add the serial number";
    QTest::newRow("no such adapter") << "usb:0403:6001:C30"
                                     << ""
                                     << ""
                                     << "";
    QTest::newRow("not an identity")
        << "usb:xyz"
        << ""
        << ""
        << "'usb:xyz' is not a USB identity: give usb:VID:PID or usb:VID:PID:SERIAL, VID and "
           "PID in hexadecimal as 'ports' prints them";
}

void TestPorts::resolvesOperands() {
    QFETCH(QString, operand);
    QFETCH(QString, path);
    QFETCH(QString, serial);
    QFETCH(QString, error);
    const ports::Resolution resolution = ports::resolve(operand, kMadeUp);
    QCOMPARE(resolution.path, path);
    QCOMPARE(resolution.serial, serial);
    QCOMPARE(resolution.error ? resolution.error->text() : QString(), error);
}

void TestPorts::selectsByUsbIdentity_data() {
    QTest::addColumn<QString>("selector");
    QTest::addColumn<QStringList>("matches");

    QTest::newRow("a make") << "usb:0403:6001" << QStringList{"/dev/ttyUSB0", "/dev/ttyUSB1"};
    QTest::newRow("one adapter") << "usb:0403:6001:A10K1" << QStringList{"/dev/ttyUSB0"};
    QTest::newRow("without a serial number") << "usb:0403:6015" << QStringList{"/dev/ttyUSB2"};
    QTest::newRow("none") << "usb:1234:5678" << QStringList{};
}

void TestPorts::selectsByUsbIdentity() {
    QFETCH(QString, selector);
    QFETCH(QStringList, matches);
    QCOMPARE(ports::matching(selector, kMadeUp), matches);
    // What 'ports' prints for an adapter is what selects it.
    for (const PortInfo &port : kMadeUp) {
        if (port.usb)
            QCOMPARE(ports::resolve(port.usbIdentity(), kMadeUp).path,
                     port.serial.isEmpty() && port.product == 0x6001 ? QString() : port.path);
    }
    QCOMPARE(ports::presentText(kMadeUp),
             QStringLiteral("ports present: ttyUSB0, ttyUSB1, ttyUSB2, ttyACM0, ttyS0"));
    QCOMPARE(ports::presentText({}), QStringLiteral("no serial ports are present"));
}

void TestPorts::sameDeviceUnderTwoNames() {
    const testsupport::TerminalPair terminal;
    QVERIFY(terminal.isOpen());
    testsupport::TempFiles files;
    const QString link = files.path("board");
    QVERIFY(QFile::link(terminal.path(), link));
    const QString device = terminal.path();
    QCOMPARE(ports::sameDevice({device, "ttyUSB9", link}, {}), device + " and " + link);
    QCOMPARE(ports::sameDevice({device, "ttyUSB9"}, {}), QString());
    // Known to the list under its target's name, a link has the target's serial number.
    PortList listed{{QStringLiteral("pts"), device, true, 0x0403, 0x6001, "S1", {}, {}, {}}};
    QCOMPARE(ports::resolve(link, listed).serial, QStringLiteral("S1"));
}

void TestPorts::usbAdapterFromSystemDescription_data() {
    // Below sys/devices: the tty's folder, and the files of the folders above it.
    QTest::addColumn<QString>("tty");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("serial");
    QTest::addColumn<QString>("identity");
    QTest::addColumn<QString>("location"); // without a by-path link
    const QString adapter = QStringLiteral("pci0/usb1/1-2");
    QTest::newRow("ttyUSB, four levels below the adapter")
        << adapter + "/1-2:1.0/ttyUSB0/tty/ttyUSB0"
        << QStringList{adapter + "/idVendor=0403", adapter + "/idProduct=6001",
                       adapter + "/serial=A10K1"}
        << "A10K1"
        << "usb:0403:6001:A10K1"
        << "1-2:1.0";
    QTest::newRow("ttyACM, three levels below")
        << adapter + "/1-2:1.0/tty/ttyACM0"
        << QStringList{adapter + "/idVendor=2341", adapter + "/idProduct=0043",
                       adapter + "/serial=7563"}
        << "7563"
        << "usb:2341:0043:7563"
        << "1-2:1.0";
    QTest::newRow("adapter without a serial number")
        << adapter + "/1-2:1.0/ttyUSB0/tty/ttyUSB0"
        << QStringList{adapter + "/idVendor=0403", adapter + "/idProduct=6015"} << ""
        << "usb:0403:6015"
        << "1-2:1.0";
    QTest::newRow("not on USB: the serial file of no USB device")
        << QStringLiteral("platform/serial8250/tty/ttyS0")
        << QStringList{"platform/serial=not an adapter's"} << ""
        << ""
        << "";
}

void TestPorts::usbAdapterFromSystemDescription() {
    QFETCH(QString, tty);
    QFETCH(QStringList, files);
    QFETCH(QString, serial);
    QFETCH(QString, identity);
    QFETCH(QString, location);
    const testsupport::TerminalPair terminal;
    QVERIFY(terminal.isOpen());
    struct stat status {};
    QCOMPARE(::fstat(terminal.slave(), &status), 0);
    // A system's description made up around the pseudo-terminal's device number.
    testsupport::TempFiles temp;
    const QString sys = temp.path("sys");
    QVERIFY(QDir().mkpath(sys + "/devices/" + tty));
    QVERIFY(QDir().mkpath(sys + "/dev/char"));
    QVERIFY(QDir().mkpath(sys + "/class/tty"));
    for (const QString &file : files) {
        const QStringList parts = file.split('=');
        QFile out(sys + "/devices/" + parts[0]);
        QVERIFY(out.open(QIODevice::WriteOnly));
        // As the system writes them: a line.
        out.write(parts[1].toUtf8() + '\n');
    }
    const QString number =
        QStringLiteral("%1:%2").arg(major(status.st_rdev)).arg(minor(status.st_rdev));
    QVERIFY(QFile::link(sys + "/devices/" + tty, sys + "/dev/char/" + number));
    const QString ttyName = QFileInfo(tty).fileName();
    QVERIFY(QFile::link(sys + "/devices/" + tty, sys + "/class/tty/" + ttyName));
    const QString link = temp.path("board");
    QVERIFY(QFile::link(terminal.path(), link));

    // Reached by its own name or through a link, the port has its adapter's serial number.
    for (const QString &path : {terminal.path(), link}) {
        const std::optional<ports::UsbAdapter> found = ports::usbAdapter(path, sys);
        QVERIFY(found);
        QCOMPARE(found->serial, serial);
    }
    // What is no character device has none.
    QVERIFY(!ports::usbAdapter(sys, sys).value().onUsb);
    // Located by the USB interface above its tty, or by the by-path link udev made to it.
    QCOMPARE(ports::physicalLocation(link, temp.path("dev"), sys), location);
    QVERIFY(QDir().mkpath(temp.path("dev/serial/by-path")));
    QVERIFY(QFile::link(terminal.path(), temp.path("dev/serial/by-path/pci-0:1.0-usb-0:2:1.0")));
    QCOMPARE(ports::physicalLocation(link, temp.path("dev"), sys),
             temp.path("dev/serial/by-path/pci-0:1.0-usb-0:2:1.0"));

    // Listed with its identity when it is on USB; a station's selector finds it by that.
    const std::optional<PortList> listed = ports::usbPorts(sys);
    QVERIFY(listed);
    if (identity.isEmpty()) {
        QVERIFY(listed->isEmpty());
        return;
    }
    QCOMPARE(listed->size(), 1);
    QCOMPARE(listed->first().path, "/dev/" + ttyName);
    QCOMPARE(listed->first().usbIdentity(), identity);
    QCOMPARE(ports::matching(identity, *listed), QStringList{"/dev/" + ttyName});
}

void TestPorts::selectorMatchesCaseAndDev() {
    // Without a folder, as a bare PORT, in /dev.
    QCOMPARE(ports::matching("ptm?", {}), QStringList{"/dev/ptmx"});
    QCOMPARE(ports::matching("PTM*", {}), QStringList{});
    testsupport::TempFiles files;
    files.write("board1", "");
    files.write("Board2", "");
    // udev's passing names for links begin with ".#": a wildcard takes in no leading dot, as a
    // shell's does, unless the pattern starts with one.
    files.write(".#board3", "");
    QCOMPARE(ports::matching(files.path("board*"), {}), QStringList{files.path("board1")});
    QCOMPARE(ports::matching(files.path("*"), {}),
             (QStringList{files.path("Board2"), files.path("board1")}));
    QCOMPARE(ports::matching(files.path("?#board*"), {}), QStringList{});
    QCOMPARE(ports::matching(files.path(".#*"), {}), QStringList{files.path(".#board3")});
}

// What a station takes from a folder of many kinds of files, poll after poll.
void TestPorts::portWatch() {
    testsupport::TempFiles files;
    const QString dir = files.path("ports");
    QVERIFY(QDir().mkpath(dir));
    const testsupport::TerminalPair board;
    QVERIFY(board.isOpen());
    files.write("ports/file", "{}");
    QCOMPARE(::mkfifo(QFile::encodeName(dir + "/fifo").constData(), 0600), 0);
    programs::BoundSocket socket;
    QVERIFY(socket.bind(dir + "/socket"));
    QVERIFY(QFile::link("/dev/null", dir + "/null"));
    QVERIFY(QFile::link("/dev/ptmx", dir + "/ptmx"));
    QVERIFY(QFile::link(board.path(), dir + "/board-a"));
    QVERIFY(QFile::link(board.path(), dir + "/board-b"));
    // A link under udev's passing name is neither a board nor passed over.
    QVERIFY(QFile::link(board.path(), dir + "/.#board-c"));
    programs::ControllingTerminal terminal;
    const bool withTerminal = terminal.start();
    if (withTerminal)
        QVERIFY(QFile::link(terminal.path(), dir + "/shell"));

    ports::PortWatch watch({{dir + "/*", {}}}, 1000);
    bool busy = false;
    const auto isBusy = [&](const QString &) { return busy; };
    ports::PortWatch::Step step = watch.poll({}, isBusy, 0);
    // One board for the two names of one device; all else passed over, each said once.
    QCOMPARE(step.take, QStringList{dir + "/board-a"});
    QStringList expected{dir + "/board-b: passed over, the same device as " + dir + "/board-a",
                         dir + "/fifo: passed over, not a serial port: a FIFO",
                         dir + "/file: passed over, not a serial port: a regular file",
                         dir + "/null: passed over, not a serial port: another device (1:3)",
                         dir + "/ptmx: passed over, not a serial port: another device (5:2, "
                               "terminal driver /dev/ptmx of type system)",
                         dir + "/socket: passed over, not a serial port: a socket"};
    if (withTerminal)
        expected.insert(5, dir +
                               "/shell: passed over, not a serial port: the controlling "
                               "terminal of sleep (pid " +
                               QString::number(terminal.pid()) + ")");
    QCOMPARE(step.passedOver, expected);
    QCOMPARE(step.waiting, QString());
    step = watch.poll({}, isBusy, 2000);
    QCOMPARE(step.take, QStringList{});
    QCOMPARE(step.passedOver, QStringList{});
    // Ports matched, so there is no waiting to tell of.
    QCOMPARE(step.waiting, QString());

    // A name that goes away while its device stays is that board still, once back too.
    QVERIFY(QFile::remove(dir + "/board-a"));
    busy = true;
    QCOMPARE(watch.poll({}, isBusy, 2250).take, QStringList{});
    QVERIFY(QFile::link(board.path(), dir + "/board-a"));
    busy = false;
    QCOMPARE(watch.poll({}, isBusy, 2750).take, QStringList{});

    // A second name refused on opening: no board while the first is taken; otherwise looked
    // at anew.
    QCOMPARE(watch.refusedAsSameDevice(dir + "/board-a", dir + "/gone"), QString());
    QCOMPARE(watch.poll({}, isBusy, 3000).take, QStringList{dir + "/board-a"});

    // A device still open here under a name that has gone is taken once it is let go.
    const testsupport::TerminalPair other;
    QVERIFY(other.isOpen());
    QSerialPort held;
    QVERIFY(transfer::openLink(held, other.path()));
    QVERIFY(QFile::link(other.path(), dir + "/board-c"));
    QCOMPARE(watch.poll({}, isBusy, 3250).take, QStringList{});
    held.close();
    QCOMPARE(watch.poll({}, isBusy, 3500).take, QStringList{dir + "/board-c"});

    // Nothing matching for the notice's time is said once.
    ports::PortWatch empty({{files.path("none*"), {}}}, 1000);
    QCOMPARE(empty.poll({}, isBusy, 0).waiting, QString());
    QCOMPARE(empty.poll({}, isBusy, 1000).waiting,
             QStringLiteral("no port matches %1 yet; waiting").arg(files.path("none*")));
    QCOMPARE(empty.poll({}, isBusy, 2000).waiting, QString());
    // With slots, how many wait, not their paths.
    ports::PortWatch slotted({{files.path("s1"), "A1"}, {files.path("s2"), "A2"}, {"none*", {}}},
                             0);
    QCOMPARE(slotted.poll({}, isBusy, 0).waiting,
             QStringLiteral("no port yet; waiting for 2 slots and ports matching none*"));
}

QTEST_GUILESS_MAIN(TestPorts)
#include "tst_ports.moc"
