#include "firmwareimage.h"
#include "portcheck.h"
#include "programs.h"
#include "seriallink.h"
#include "testsupport.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

using programs::ControllingTerminal;
using programs::drain;
using programs::Result;
using programs::runCli;
using programs::SimProcess;

namespace {

// Stands for the simulator's port in the tables below.
const QString kSimPort = QStringLiteral("<sim>");

// Replaces the placeholders of a table row with the paths of this run.
QStringList resolved(QStringList args, const QString &port, const QString &image) {
    for (QString &arg : args) {
        if (arg == kSimPort)
            arg = port;
        else if (arg == QLatin1String("<image>"))
            arg = image;
        else if (arg == QLatin1String("<short port>"))
            arg = port.mid(int(qstrlen("/dev/")));
    }
    return args;
}

} // namespace

class TestCli : public QObject {
    Q_OBJECT

private slots:
    void badArguments_data();
    void badArguments();
    void helpListsCommandsAndExitCodes();
    void version();

    void outcomes_data();
    void outcomes();
    void output_data();
    void output();
    void progressBarOnTerminal_data();
    void progressBarOnTerminal();
    void listsPorts();
    void unprivilegedCauses_data();
    void unprivilegedCauses();
    void imageTooLarge();

    void notSerialPorts_data();
    void notSerialPorts();
    void lostOutput_data();
    void lostOutput();
    void infoStreamsLargeImage();
    void slotsFile_data();
    void slotsFile();
};

void TestCli::badArguments_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("error");

    QTest::newRow("nothing") << QStringList{} << "no command given";
    QTest::newRow("unknown command") << QStringList{"flash", "ttyS0"} << "unknown command 'flash'";
    QTest::newRow("upload without image")
        << QStringList{"upload"} << "upload takes PORT... and FILE";
    QTest::newRow("upload with one operand")
        << QStringList{"upload", "a.bin"} << "upload takes PORT... and FILE";
    QTest::newRow("one device twice") << QStringList{"upload", "ttyNone9", "/dev/ttyNone9", "a.bin"}
                                      << "ttyNone9 and /dev/ttyNone9 are the same device";
    QTest::newRow("image before port")
        << QStringList{"upload", BOOTLOADER_EXAMPLES_DIR "/blink.bin", "/dev/ttyNone9"}
        << "FILE and PORT are the wrong way round: '/dev/ttyNone9' is a port, "
           "'" BOOTLOADER_EXAMPLES_DIR
           "/blink.bin' a file; give the ports first and the image last";
    QTest::newRow("malformed USB identity")
        << QStringList{"upload", "usb:0403", "a.bin"}
        << "'usb:0403' is not a USB identity: give usb:VID:PID or usb:VID:PID:SERIAL, VID and "
           "PID in hexadecimal as 'ports' prints them";
    QTest::newRow("wait without seconds")
        << QStringList{"--wait", "soon", "upload", "ttyS0", "a.bin"}
        << "--wait takes a number of seconds, not 'soon'";
    QTest::newRow("station without selector")
        << QStringList{"station", "a.bin"} << "station takes FILE and --match SELECTOR";
    QTest::newRow("match outside station")
        << QStringList{"--match", "/dev/tty*", "ports"} << "--match is for station only";
    QTest::newRow("enter without port") << QStringList{"enter"} << "enter takes PORT only";
    QTest::newRow("enter with image")
        << QStringList{"enter", "ttyS0", "a.bin"} << "enter takes PORT only";
    QTest::newRow("ports with argument")
        << QStringList{"ports", "all"} << "ports takes no arguments";
    QTest::newRow("unknown option") << QStringList{"--fast", "ports"} << "Unknown option 'fast'.";
    QTest::newRow("verbose and quiet")
        << QStringList{"-v", "-q", "ports"} << "-v and -q cannot be given together";
    QTest::newRow("empty command") << QStringList{""} << "unknown command ''";
    QTest::newRow("wait nan") << QStringList{"--wait", "nan", "upload", "ttyS0", "a.bin"}
                              << "--wait takes a number of seconds, not 'nan'";
    QTest::newRow("wait inf") << QStringList{"--wait", "inf", "enter", "ttyS0"}
                              << "--wait takes a number of seconds, not 'inf'";
    QTest::newRow("wait negative") << QStringList{"--wait=-1", "upload", "ttyS0", "a.bin"}
                                   << "--wait takes a number of seconds, not '-1'";
    QTest::newRow("wait with ports")
        << QStringList{"--wait", "1", "ports"} << "--wait is for upload, enter and station";
    QTest::newRow("wait with info")
        << QStringList{"--wait", "1", "info", "a.bin"} << "--wait is for upload, enter and station";
    const QString digest(64, QLatin1Char('a'));
    QTest::newRow("digest given twice")
        << QStringList{"--sha256", digest, "station", "a.bin", "--match", "x", "--sha256", "b"}
        << "--sha256 is given twice, as '" + digest + "' and as 'b'";
    // The same value again is no conflict: the next error is what is said.
    QTest::newRow("same wait twice") << QStringList{"--wait", "1", "--wait", "1", "ports"}
                                     << "--wait is for upload, enter and station";
    QTest::newRow("from not a time")
        << QStringList{"report", "r.log", "--from", "08/12/2026 06:00"}
        << "--from takes a time in ISO 8601, such as 2026-12-08T06:00:00Z, not '08/12/2026 06:00'";
    QTest::newRow("to outside report")
        << QStringList{"--to", "2026-12-08", "ports"} << "--from and --to are for report only";
    QTest::newRow("from after to")
        << QStringList{"report",           "r.log", "--from", "2026-12-08 14:00Z", "--to",
                       "2026-12-08T06:00Z"}
        << "--from must be before --to";
    // A slots file is refused whole, before any port is opened, at the line that is wrong.
    static QTemporaryDir slotFiles;
    const auto slotsRow = [](const char *name, const QByteArray &text, const QString &error) {
        QFile file(slotFiles.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(text) == text.size());
        QTest::newRow(name) << QStringList{"station", "a.bin", "--slots", file.fileName()}
                            << file.fileName() + error;
    };
    slotsRow("duplicate label", "A1 = /dev/ttyS1 # left\n\n# spare\nA1 = /dev/ttyS2\n",
             ":4: the label A1 is given twice");
    slotsRow("two labels one port", "A1 = usb:0403:6001:AB\nA2=usb:0403:6001:ab\n",
             ":2: usb:0403:6001:ab is the port of A1 already, not also of A2");
    slotsRow("unparsable line", "A1 = /dev/ttyS1\nA2 /dev/ttyS2\n", ":2: expected LABEL = PORT");
    slotsRow("empty file", "# no slot yet\n\n",
             ": no slot in it (a slots file has a LABEL = PORT line for each slot)");
    slotsRow("control character in a label", "A1 = /dev/ttyS1\nA\x1b[2J = /dev/ttyS2\n",
             ":2: a label holds no control character");
    slotsRow("'=' in a label", "A=B = /dev/ttyS1\n",
             ":1: expected LABEL = PORT, with one '=': a label holds no '='");
    slotsRow("one path spelt twice", "A1 = /dev/ttyS1\nA2 = /dev/./ttyS1\n",
             ":2: /dev/./ttyS1 is the port of A1 already, not also of A2");
    // Two links to one device: the same port under two names.
    QVERIFY(QFile::link("/dev/null", slotFiles.filePath("null-a")));
    QVERIFY(QFile::link("/dev/null", slotFiles.filePath("null-b")));
    slotsRow(
        "one device under two links",
        ("A1 = " + slotFiles.filePath("null-a") + "\nA2 = " + slotFiles.filePath("null-b") + "\n")
            .toUtf8(),
        ":2: " + slotFiles.filePath("null-b") + " is the port of A1 already, not also of A2");
    // A FIFO is refused before it is opened: its open would wait for a writer.
    const QString fifo = slotFiles.filePath("fifo.slots");
    QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
    QTest::newRow("a FIFO") << QStringList{"station", "a.bin", "--slots", fifo}
                            << fifo + ": not a regular file";
    QTest::newRow("listen on a name")
        << QStringList{"station", "a.bin", "--match", "x", "--listen", "plant:80"}
        << "cannot listen on 'plant:80': expected PORT or ADDRESS:PORT, with a numeric address";
    QTest::newRow("panel host with a port")
        << QStringList{"station", "a.bin", "--match", "x", "--panel-host", "line1:80"}
        << "--panel-host takes a host name, without port, not 'line1:80'";
}

void TestCli::badArguments() {
    QFETCH(QStringList, args);
    QFETCH(QString, error);
    const Result result = runCli(args);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 64);
    QVERIFY(result.out.isEmpty());
    // One line saying what is wrong, then the usage.
    const QStringList lines = result.errLines();
    QCOMPARE(lines.value(0), "bootloader-cli: " + error);
    QVERIFY(lines.value(1).startsWith("Usage: bootloader-cli "));
    QCOMPARE(lines.last(), "Try 'bootloader-cli --help' for more.");
}

void TestCli::helpListsCommandsAndExitCodes() {
    for (const QString &option : {QStringLiteral("--help"), QStringLiteral("-h")}) {
        const Result result = runCli({option});
        QCOMPARE(result.exitCode, 0);
        QVERIFY(result.err.isEmpty());
        const QString help = QString::fromLocal8Bit(result.out);
        QVERIFY(help.startsWith("Usage: bootloader-cli "));
        for (const char *command :
             {"upload PORT... FILE", "enter PORT", "ports", "info FILE", "station FILE"})
            QVERIFY2(help.contains(QLatin1String(command)), command);
        // Every code outcomes() expects is explained on a line of its own.
        for (const int code : {0, 1, 2, 3, 64, 74, 130, 143}) {
            const QRegularExpression line(QStringLiteral("\\n +%1 +\\w").arg(code));
            QVERIFY2(line.match(help).hasMatch(), qPrintable(QString::number(code)));
        }
        for (const char *option : {"--verbose", "--quiet", "--version", "--json", "--wait"})
            QVERIFY2(help.contains(QLatin1String(option)), option);
    }
}

void TestCli::version() {
    const Result result = runCli({"--version"});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.out, QByteArray("bootloader-cli " BOOTLOADER_EXPECTED_VERSION "\n"));
}

void TestCli::outcomes_data() {
    QTest::addColumn<QStringList>("simArgs"); // empty: no simulator
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("cause"); // the start of the line after the message; empty: none
    QTest::addColumn<QString>("kind");  // the result event's cause_kind; empty: null

    const QStringList upload{"upload", kSimPort, "<image>"};
    const QStringList enter{"enter", kSimPort};
    const QStringList plain{"--save", "<saved>"};
    const QByteArray image = "boot\n{a}\n{bc}\n{d{e}\n";

    QTest::newRow("loaded") << plain << upload << image << 0 << "Firmware loaded!"
                            << ""
                            << "";
    QTest::newRow("loaded, port by short name")
        << plain << QStringList{"upload", "<short port>", "<image>"} << image << 0
        << "Firmware loaded!"
        << ""
        << "";
    QTest::newRow("loaded after refusals")
        << QStringList{"--save", "<saved>", "--refuse-every", "2"} << upload << image << 0
        << "Firmware loaded!"
        << ""
        << "";
    QTest::newRow("image missing") << plain << QStringList{"upload", kSimPort, "no-such.bin"}
                                   << QByteArray() << 2 << "File not open"
                                   << "no-such.bin: no such file"
                                   << "";
    QTest::newRow("image empty") << plain << upload << QByteArray("") << 2 << "File is empty"
                                 << "<image>: the file is empty"
                                 << "";
    QTest::newRow("image without record")
        << plain << upload << QByteArray("{ never closed") << 2 << "Firmware not found"
        << "<image>: holds no record"
        << "";
    QTest::newRow("image is a directory")
        << plain << QStringList{"upload", kSimPort, "."} << QByteArray() << 2 << "File not open"
        << ".: not a regular file"
        << "";
    QTest::newRow("port missing") << QStringList{}
                                  << QStringList{"upload", "/dev/no-port", "<image>"} << image << 3
                                  << "Serial port is busy"
                                  << "no such port /dev/no-port ("
                                  << "port-missing";
    QTest::newRow("not a serial port")
        << QStringList{} << QStringList{"upload", "/dev/null", "<image>"} << image << 3
        << "Serial port is busy"
        << "/dev/null is not a serial port"
        << "not-serial";
    QTest::newRow("no port with that identity")
        << QStringList{} << QStringList{"upload", "usb:f00d:beef:X1", "<image>"} << image << 3
        << "Serial port is busy"
        << "no port matches usb:f00d:beef:X1 ("
        << "port-missing";
    QTest::newRow("device silent")
        << QStringList{"--silent"} << upload << image << 1 << "Firmware not loaded"
        << "the device on <sim> did not acknowledge record 1 of 3 in 5 sends"
        << "no-ack";

    QTest::newRow("bootloader entered")
        << plain << enter << QByteArray() << 0 << "Device is in bootloader mode now"
        << ""
        << "";
    QTest::newRow("bootloader not confirmed")
        << QStringList{"--silent"} << enter << QByteArray() << 1
        << "Device is out of bootloader mode"
        << "the device on <sim> did not answer \"@46FF$\" in 3 sends"
        << "not-confirmed";
    QTest::newRow("bootloader port missing") << QStringList{} << QStringList{"enter", "ttyNone7"}
                                             << QByteArray() << 3 << "Serial port is busy"
                                             << "no such port /dev/ttyNone7 ("
                                             << "port-missing";
}

void TestCli::outcomes() {
    QFETCH(QStringList, simArgs);
    QFETCH(QStringList, args);
    QFETCH(QByteArray, image);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    QFETCH(QString, cause);
    QFETCH(QString, kind);

    testsupport::TempFiles files;
    const QString imagePath = files.write("image.bin", image);
    const QString savedPath = files.path("saved.bin");
    SimProcess sim;
    if (!simArgs.isEmpty())
        QVERIFY(sim.start(simArgs.replaceInStrings("<saved>", savedPath)));

    // A device silent to an upload is waited out by the suite's short-timing build: the five
    // sends at the tool's own reply windows are timed in tst_device; "bootloader not confirmed"
    // waits out a silent device with the tool itself.
    const bool silentToUpload = simArgs.contains("--silent") && args.first() == "upload";
    const Result result =
        programs::run(silentToUpload ? programs::shortTimingCliPath() : programs::cliPath(),
                      QStringList{"--json"} + resolved(args, sim.port(), imagePath));
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, exitCode);
    // A refused image leaves no port a result.
    const QJsonObject event = programs::ofKind(programs::parseLines(result.out), "result").value(0);
    QCOMPARE(event.value("cause_kind"), exitCode == 2    ? QJsonValue(QJsonValue::Undefined)
                                        : kind.isEmpty() ? QJsonValue()
                                                         : QJsonValue(kind));
    // The window's text, then the cause on a line of its own.
    const QStringList lines = result.errLines();
    const int at = lines.indexOf(message);
    QVERIFY2(at >= 0, qPrintable(lines.join('\n')));
    if (cause.isEmpty()) {
        QCOMPARE(at, lines.size() - 1);
    } else {
        QCOMPARE(at, lines.size() - 2);
        cause.replace("<image>", imagePath).replace(kSimPort, sim.port());
        QVERIFY2(lines.last().startsWith(cause), qPrintable(lines.last()));
    }

    // What the device kept is exactly the records, whatever it refused on the way.
    if (simArgs.contains(savedPath)) {
        QVERIFY(sim.stop());
        QFile saved(savedPath);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll(), exitCode == 0 && args.first() == "upload"
                                      ? programs::recordsOf(image)
                                      : QByteArray());
    }
}

void TestCli::output_data() {
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("imageName"); // a missing one makes the upload fail
    QTest::addColumn<QStringList>("lines");

    const QString uploading = QStringLiteral("Uploading <image> to <sim>");
    QTest::newRow("default: progress lines, no trace")
        << QStringList{} << "image.bin"
        << QStringList{uploading, "record 1/3 acknowledged (33%)", "record 2/3 acknowledged (66%)",
                       "record 3/3 acknowledged (100%)", "Firmware loaded!"};
    QTest::newRow("verbose: the trace between the progress lines")
        << QStringList{"-v"} << "image.bin"
        << QStringList{uploading,
                       "Num records:  3",
                       "\"7b617d\"",
                       "5",
                       "record 1/3 acknowledged (33%)",
                       "\"7b627d\"",
                       "5",
                       "record 2/3 acknowledged (66%)",
                       "\"7b637d\"",
                       "5",
                       "record 3/3 acknowledged (100%)",
                       "Firmware loaded!"};
    QTest::newRow("quiet success says nothing")
        << QStringList{"-q"} << "image.bin" << QStringList{};
    QTest::newRow("quiet failure says the error")
        << QStringList{"--quiet"} << "missing.bin"
        << QStringList{"File not open", "<missing>: no such file"};
    QTest::newRow("default failure")
        << QStringList{} << "missing.bin"
        << QStringList{uploading, "File not open", "<missing>: no such file"};
}

void TestCli::output() {
    QFETCH(QStringList, options);
    QFETCH(QString, imageName);
    QFETCH(QStringList, lines);

    testsupport::TempFiles files;
    files.write("image.bin", "{a}{b}{c}");
    const QString imagePath = files.path(imageName);
    SimProcess sim;
    QVERIFY(sim.start());

    const Result result = runCli(options + QStringList{"upload", sim.port(), imagePath});
    QVERIFY(result.finished);
    QCOMPARE(result.errLines(), lines.replaceInStrings("<missing>", imagePath)
                                    .replaceInStrings("<image>", imagePath)
                                    .replaceInStrings(kSimPort, sim.port()));
    QVERIFY(result.out.isEmpty());
}

void TestCli::progressBarOnTerminal_data() {
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<bool>("bar");
    QTest::newRow("default") << QStringList{} << true;
    QTest::newRow("quiet") << QStringList{"-q"} << false;
}

void TestCli::progressBarOnTerminal() {
    QFETCH(QStringList, options);
    QFETCH(bool, bar);

    testsupport::TempFiles files;
    const QString imagePath = files.write("image.bin", "{a}{b}{c}");
    SimProcess sim;
    QVERIFY(sim.start());

    // The program's stderr is a terminal of its own; its output is read from the other end.
    int master = -1;
    int slave = -1;
    char name[256] = {};
    QCOMPARE(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    termios tio{};
    ::tcgetattr(slave, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(slave, TCSANOW, &tio);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    QProcess cli;
    cli.setStandardErrorFile(QString::fromLocal8Bit(name));
    cli.start(programs::cliPath(), options + QStringList{"upload", sim.port(), imagePath});
    const bool finished = cli.waitForFinished(20000);
    const QByteArray shown = drain(master);
    ::close(slave);
    ::close(master);
    QVERIFY(finished);
    QCOMPARE(cli.exitCode(), 0);

    if (!bar) {
        QCOMPARE(shown, QByteArray());
        return;
    }
    // Each record redraws the line in place with its rate and the time left (the total time
    // once done); the last record shows 100%.
    const QString text = QString::fromLocal8Bit(shown);
    const QString head = "Uploading " + imagePath + " to " + sim.port() + "\n";
    QVERIFY2(text.startsWith(head), qPrintable(text));
    const QStringList draws = text.mid(head.size()).split('\r', Qt::SkipEmptyParts);
    QCOMPARE(draws.size(), 3);
    const QString rate = QStringLiteral(" +\\d+(\\.\\d)? k?B/s +\\d+:\\d\\d");
    const QStringList expected{"\\[#########\\.{21}\\]  33%  1/3 records" + rate + " left",
                               "\\[###################\\.{11}\\]  66%  2/3 records" + rate +
                                   " left",
                               "\\[#{30}\\] 100%  3/3 records" + rate};
    for (int i = 0; i < 3; ++i) {
        const QRegularExpression draw("^" + expected[i] + "\\x1b\\[K" +
                                      (i == 2 ? "\\nFirmware loaded!\\n" : "") + "$");
        QVERIFY2(draw.match(draws[i]).hasMatch(), qPrintable(draws[i]));
    }
}

void TestCli::listsPorts() {
    const Result result = runCli({"ports"});
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QStringList expected;
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports) {
        const auto field = [](const QString &text) { return text.isEmpty() ? "-" : text; };
        const QString usb =
            info.hasVendorIdentifier()
                ? QString::asprintf("%04x:%04x", info.vendorIdentifier(), info.productIdentifier())
                : "-";
        expected << QStringList{info.portName(),
                                info.systemLocation(),
                                usb,
                                field(info.serialNumber()),
                                field(info.manufacturer()),
                                field(info.description()),
                                field(ports::physicalLocation(info.systemLocation()))}
                        .join('\t');
    }
    QCOMPARE(QString::fromLocal8Bit(result.out).split('\n', Qt::SkipEmptyParts), expected);
    QCOMPARE(result.errLines(),
             ports.isEmpty() ? QStringList{"No serial ports found"} : QStringList{});
}

// Root opens anything, so a port or an image without permission is tried as the unprivileged
// user "nobody"; the cause must name the fix, not just the failure.
void TestCli::unprivilegedCauses_data() {
    QTest::addColumn<QString>("closed"); // "port" or "image": the one the user may not use
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("cause");

    QTest::newRow("port") << "port" << 0660 << 3
                          << "permission denied on <sim>: join the group that owns it, <group> ";
    QTest::newRow("image") << "image" << 0600 << 2 << "<image>: permission denied";
}

void TestCli::unprivilegedCauses() {
    QFETCH(QString, closed);
    QFETCH(int, mode);
    QFETCH(int, exitCode);
    QFETCH(QString, cause);

    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    if (::geteuid() != 0 || setpriv.isEmpty())
        QSKIP("Needs root and setpriv to run the tool as another user.");
    const QStringList asNobody{"--reuid=65534", "--regid=65534", "--clear-groups",
                               programs::cliPath()};
    if (programs::run(setpriv, asNobody + QStringList{"--version"}, 5000).exitCode != 0)
        QSKIP("The unprivileged user cannot start the tool from this build folder.");

    testsupport::TempFiles files;
    const QString image = files.write("image.bin", "{a}");
    SimProcess sim;
    QVERIFY(sim.start());
    const QString target = closed == QLatin1String("port") ? sim.port() : image;
    QCOMPARE(::chmod(QFile::encodeName(target).constData(), mode_t(mode)), 0);
    // Joining a group helps only when it may read and write the port: dialout, as on most systems.
    const group *dialout = ::getgrnam("dialout");
    QVERIFY(target != sim.port() ||
            (dialout && ::chown(QFile::encodeName(target).constData(), 0, dialout->gr_gid) == 0));
    // The folder of the image is open to all, so only the file itself stands in the way.
    QCOMPARE(::chmod(QFile::encodeName(files.path(".")).constData(), 0755), 0);
    struct stat info {};
    QCOMPARE(::stat(QFile::encodeName(sim.port()).constData(), &info), 0);
    const group *owner = ::getgrgid(info.st_gid);
    QVERIFY(owner);

    const Result result =
        programs::run(setpriv, asNobody + QStringList{"upload", sim.port(), image}, 20000);
    QCOMPARE(result.exitCode, exitCode);
    cause.replace("<sim>", sim.port())
        .replace("<image>", image)
        .replace("<group>", QString::fromLocal8Bit(owner->gr_name));
    QVERIFY2(result.errLines().value(result.errLines().size() - 1).startsWith(cause),
             result.err.constData());
}

void TestCli::imageTooLarge() {
    testsupport::TempFiles files;
    const QString image = files.write("image.bin", "{a}");
    // Sparse: it takes no room on the disk.
    QVERIFY(QFile::resize(image, 3LL * 1024 * 1024 * 1024));
    const Result result = runCli({"upload", "/dev/null", image});
    QCOMPARE(result.exitCode, 2);
    QCOMPARE(result.errLines().mid(result.errLines().size() - 2),
             (QStringList{"File not open",
                          QStringLiteral("%1: too large (3221225472 bytes; the limit is %2 bytes)")
                              .arg(image)
                              .arg(transfer::kMaxImageSize)}));
}

// A PORT that is no serial port is said to be none, and what it is, without opening it: a
// FIFO's open would block, and nothing may be written to it.
void TestCli::notSerialPorts_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("what");
    QTest::newRow("socket") << "socket"
                            << "a socket";
    QTest::newRow("FIFO") << "fifo"
                          << "a FIFO";
    QTest::newRow("regular file") << "file"
                                  << "a regular file";
    QTest::newRow("directory") << "directory"
                               << "a directory";
    QTest::newRow("another device") << "/dev/null"
                                    << "another device (1:3)";
    QTest::newRow("terminal multiplexer")
        << "/dev/ptmx"
        << "another device (5:2, terminal driver /dev/ptmx of type system)";
    QTest::newRow("a shell's terminal") << "terminal"
                                        << "the controlling terminal of sleep (pid <pid>)";
}

void TestCli::notSerialPorts() {
    QFETCH(QString, kind);
    QFETCH(QString, what);
    testsupport::TempFiles files;
    const QString image = files.write("image.bin", "{a}{b}");
    QString port = kind.startsWith('/') ? kind : files.path(kind);
    programs::BoundSocket server;
    int fifo = -1;
    ControllingTerminal terminal;
    if (kind == "socket") {
        QVERIFY(server.bind(port));
    } else if (kind == "fifo") {
        QCOMPARE(::mkfifo(QFile::encodeName(port).constData(), 0600), 0);
        fifo = ::open(QFile::encodeName(port).constData(), O_RDONLY | O_NONBLOCK);
        QVERIFY(fifo >= 0);
    } else if (kind == "file") {
        files.write(kind, "{old}");
    } else if (kind == "directory") {
        QVERIFY(QDir().mkpath(port));
    } else if (kind == "terminal") {
        if (!terminal.start())
            QSKIP("No process can be given a terminal of its own here.");
        port = terminal.path();
    }
    const Result result = runCli({"upload", port, image}, 10000);
    QByteArray sent;
    if (fifo >= 0) {
        sent = drain(fifo);
        ::close(fifo);
    }
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 3);
    const QStringList lines = result.errLines();
    QCOMPARE(lines.value(lines.size() - 2), "Serial port is busy");
    QCOMPARE(lines.last(), port + " is not a serial port: " +
                               what.replace("<pid>", QString::number(terminal.pid())));
    QCOMPARE(sent, QByteArray());
    if (kind == "terminal")
        QCOMPARE(terminal.written(), QByteArray());
    if (kind == "file") {
        QFile file(port);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("{old}"));
    }
}

// Output that cannot be written is told by exit code 74; nothing else is lost.
void TestCli::lostOutput_data() {
    QTest::addColumn<QStringList>("args");
    QTest::newRow("info --json") << QStringList{"info", "--json", "<image>"};
    QTest::newRow("info") << QStringList{"info", "<image>"};
    QTest::newRow("help") << QStringList{"--help"};
}

void TestCli::lostOutput() {
    QFETCH(QStringList, args);
    testsupport::TempFiles files;
    const QString image = files.write("image.bin", "{a}{b}");
    const Result result = programs::run(
        "/bin/sh", QStringList{"-c", "exec \"$0\" \"$@\" >/dev/full", programs::cliPath()} +
                       resolved(args, QString(), image));
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 74);
}

// The figures of an image of 32 Mi records come from reading it a piece at a time: with its
// memory limited to a fraction of what a list of the records takes, info still gives them.
void TestCli::infoStreamsLargeImage() {
    testsupport::TempFiles files;
    const QString image = files.path("large.bin");
    QFile file(image);
    QVERIFY(file.open(QIODevice::WriteOnly));
    const QByteArray piece = QByteArray("{}").repeated(1 << 20);
    for (int i = 0; i < 32; ++i)
        QCOMPARE(file.write(piece), qint64(piece.size()));
    file.close();
#if defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer reserves far more address space than any limit would leave: the figures
    // are checked, the memory only in the plain build.
    const char *const limit = "";
#else
    const char *const limit = "ulimit -v 400000 && ";
#endif
    // At a lower priority: it keeps the processor busy while the tests beside it time replies.
    const Result result = programs::run(
        "/bin/sh",
        {"-c", QString::fromLatin1(limit) + "exec nice -n 10 \"$0\" info --json \"$1\"",
         programs::cliPath(), image},
        60000);
    QCOMPARE(result.exitCode, 0);
    const QJsonObject info = QJsonDocument::fromJson(result.out).object();
    QCOMPARE(info.value("records").toInt(), 32 << 20);
    QCOMPARE(info.value("bytes").toInt(), 64 << 20);
    QCOMPARE(info.value("smallest").toInt(), 2);
    QCOMPARE(info.value("largest").toInt(), 2);
    QCOMPARE(info.value("outside").toInt(), 0);
    QCOMPARE(info.value("unclosed").toInt(), 0);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (int i = 0; i < 32; ++i)
        hash.addData(piece);
    QCOMPARE(info.value("sha256").toString(), QString::fromLatin1(hash.result().toHex()));
}

// 'slots FILE' goes on from the slots the file holds, and ends with 0 once stopped; a file in
// error is refused before it is added to.
void TestCli::slotsFile_data() {
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<int>("exit");
    QTest::addColumn<QString>("error");
    // Once open, it says what it watches.
    const QString watching("Slots: adding 'Slot N = PORT' to %1 for each serial port that "
                           "appears (%2 in it already); stop with Ctrl-C");
    QTest::newRow("slots given, stopped")
        << QByteArray("A1 = /dev/ttyUSB0\n") << 0 << watching.arg("%1", "1");
    QTest::newRow("empty, stopped") << QByteArray() << 0 << watching.arg("%1", "0");
    QTest::newRow("a line in error")
        << QByteArray("A1 = /dev/ttyUSB0\nA2 /dev/ttyUSB1\n") << 64
        << QStringLiteral("bootloader-cli: %1:2: expected LABEL = PORT");
    QTest::newRow("a label twice")
        << QByteArray("A1 = /dev/ttyUSB0\nA1 = /dev/ttyUSB1\n") << 64
        << QStringLiteral("bootloader-cli: %1:2: the label A1 is given twice");
}

void TestCli::slotsFile() {
    QFETCH(QByteArray, contents);
    QFETCH(int, exit);
    QFETCH(QString, error);
    testsupport::TempFiles files;
    const QString path = files.write("line.slots", contents);
    programs::CliProcess adder;
    QVERIFY(adder.start({"slots", path}));
    if (exit == 0) {
        QTest::qWait(700);
        adder.signal(SIGINT);
    }
    QCOMPARE(adder.finish(), exit);
    if (!error.isEmpty())
        QCOMPARE(adder.errLines().value(0), error.arg(path));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), contents);
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
