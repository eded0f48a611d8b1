#include "mainwindow.h"
#include "simdevice.h"
#include "testsupport.h"

#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QSerialPortInfo>
#include <QStatusBar>
#include <QToolBar>
#include <QtTest>

using testsupport::ModalCatcher;

namespace {

const transfer::Timing kQuick = testsupport::quickTiming();

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

private slots:
    void windowIsFixedAndTitled();
    void formItems_data();
    void formItems();
    void formItemsInCreationOrder();
    void progressBarStartsEmptyAndCentred();
    void declaresExactlyThreeSlots();
    void listsPresentPortsByShortName();
    void fileDialog_data();
    void fileDialog();
    void eachFileClickRunsDialogOnce();
    void uploadRefusals_data();
    void uploadRefusals();
    void uploadReadsFieldAtClickTime();
    void uploadToDevice_data();
    void uploadToDevice();
    void bootloaderEntry_data();
    void bootloaderEntry();
    void bootloaderButtonStaysDisabled();
};

void TestMainWindow::windowIsFixedAndTitled() {
    MainWindow window;
    window.show();
    QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(window.windowTitle(), QStringLiteral("Bootloader"));
    QCOMPARE(window.size(), QSize(275, 123));
    QCOMPARE(window.minimumSize(), QSize(275, 123));
    QCOMPARE(window.maximumSize(), QSize(275, 123));
    window.resize(400, 300);
    QCOMPARE(window.size(), QSize(275, 123));
    window.resize(100, 50);
    QCOMPARE(window.size(), QSize(275, 123));
    QVERIFY(!window.findChild<QMenuBar *>());
    QVERIFY(!window.findChild<QToolBar *>());
    QVERIFY(!window.findChild<QStatusBar *>());

    auto *central = window.centralWidget();
    QVERIFY(central);
    QCOMPARE(central->objectName(), QStringLiteral("centralWidget"));
    auto *grid = qobject_cast<QGridLayout *>(central->layout());
    QVERIFY(grid);
    QCOMPARE(grid->objectName(), QStringLiteral("gridLayout"));
    QCOMPARE(grid->spacing(), 6);
    QCOMPARE(grid->contentsMargins(), QMargins(11, 11, 11, 11));
}

void TestMainWindow::formItems_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("type");
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("column");
    QTest::addColumn<int>("rowSpan");
    QTest::addColumn<int>("columnSpan");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("enabled");

    QTest::newRow("progressBar") << "progressBar"
                                 << "QProgressBar" << 6 << 1 << 1 << 2 << "0%" << true;
    QTest::newRow("pbFile") << "pbFile"
                            << "QPushButton" << 0 << 2 << 1 << 1 << "File" << true;
    QTest::newRow("leFile") << "leFile"
                            << "QLineEdit" << 0 << 1 << 1 << 1 << "" << true;
    QTest::newRow("label") << "label"
                           << "QLabel" << 2 << 1 << 1 << 1 << "Select serial port" << true;
    QTest::newRow("cbPort") << "cbPort"
                            << "QComboBox" << 2 << 2 << 1 << 1 << "" << true;
    QTest::newRow("pbLoad") << "pbLoad"
                            << "QPushButton" << 4 << 2 << 1 << 1 << " UPLOAD FIRMWARE " << true;
    QTest::newRow("pbLoadBootLoader")
        << "pbLoadBootLoader"
        << "QPushButton" << 4 << 1 << 1 << 1 << "Enter bootloader mode" << false;
}

void TestMainWindow::formItems() {
    QFETCH(QString, name);
    QFETCH(QString, type);
    QFETCH(int, row);
    QFETCH(int, column);
    QFETCH(int, rowSpan);
    QFETCH(int, columnSpan);
    QFETCH(QString, text);
    QFETCH(bool, enabled);

    MainWindow window;
    window.show();
    auto *widget = window.findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), type);
    QCOMPARE(widget->parentWidget(), window.centralWidget());
    QVERIFY(widget->isVisible());
    QCOMPARE(widget->isEnabled(), enabled);

    auto *grid = qobject_cast<QGridLayout *>(window.centralWidget()->layout());
    const int index = grid->indexOf(widget);
    QVERIFY(index >= 0);
    int r = -1, c = -1, rs = -1, cs = -1;
    grid->getItemPosition(index, &r, &c, &rs, &cs);
    QCOMPARE(r, row);
    QCOMPARE(c, column);
    QCOMPARE(rs, rowSpan);
    QCOMPARE(cs, columnSpan);
    QCOMPARE(int(grid->itemAt(index)->alignment()), 0);

    QString shown;
    if (auto *button = qobject_cast<QPushButton *>(widget))
        shown = button->text();
    else if (auto *edit = qobject_cast<QLineEdit *>(widget))
        shown = edit->text();
    else if (auto *label = qobject_cast<QLabel *>(widget))
        shown = label->text();
    else if (auto *bar = qobject_cast<QProgressBar *>(widget))
        shown = bar->text();
    else if (auto *box = qobject_cast<QComboBox *>(widget))
        QVERIFY(!box->isEditable());
    QCOMPARE(shown, text);

    if (auto *label = qobject_cast<QLabel *>(widget))
        QCOMPARE(label->alignment(), Qt::AlignRight | Qt::AlignTrailing | Qt::AlignVCenter);
    if (auto *edit = qobject_cast<QLineEdit *>(widget))
        QVERIFY(!edit->isReadOnly());
}

void TestMainWindow::formItemsInCreationOrder() {
    MainWindow window;
    QStringList names;
    const auto children = window.centralWidget()->children();
    for (QObject *child : children) {
        if (child->isWidgetType())
            names << child->objectName();
    }
    QCOMPARE(names, (QStringList{"progressBar", "pbFile", "leFile", "label", "cbPort", "pbLoad",
                                 "pbLoadBootLoader"}));
    // Creation order is also the keyboard focus order.
    QWidget *w = window.findChild<QWidget *>("pbFile");
    QCOMPARE(w->nextInFocusChain()->objectName(), QStringLiteral("leFile"));
}

void TestMainWindow::progressBarStartsEmptyAndCentred() {
    MainWindow window;
    auto *bar = window.findChild<QProgressBar *>("progressBar");
    QCOMPARE(bar->value(), 0);
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), 100);
    QCOMPARE(bar->alignment(), Qt::AlignCenter);
}

void TestMainWindow::declaresExactlyThreeSlots() {
    const QMetaObject *meta = &MainWindow::staticMetaObject;
    QCOMPARE(QString::fromLatin1(meta->className()), QStringLiteral("MainWindow"));
    QStringList names;
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
        const QMetaMethod method = meta->method(i);
        QCOMPARE(method.methodType(), QMetaMethod::Slot);
        QCOMPARE(method.access(), QMetaMethod::Private);
        QCOMPARE(method.parameterCount(), 0);
        names << QString::fromLatin1(method.methodSignature());
    }
    QCOMPARE(names, (QStringList{"on_pbFile_clicked()", "on_pbLoad_clicked()",
                                 "on_pbLoadBootLoader_clicked()"}));
    QCOMPARE(meta->propertyCount(), meta->propertyOffset());
}

void TestMainWindow::listsPresentPortsByShortName() {
    QStringList expected;
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports)
        expected << info.portName();

    // A terminal that appears after start-up is not listed, and no box is shown either way.
    ModalCatcher catcher;
    MainWindow window;
    sim::SimDevice late;
    QVERIFY(late.start());
    window.show();
    QTest::qWait(30);

    auto *box = window.findChild<QComboBox *>("cbPort");
    QStringList shown;
    for (int i = 0; i < box->count(); ++i) {
        shown << box->itemText(i);
        QVERIFY(box->itemIcon(i).isNull());
        QVERIFY(!box->itemData(i).isValid());
    }
    QCOMPARE(shown, expected);
    QCOMPARE(box->currentIndex(), expected.isEmpty() ? -1 : 0);
    QVERIFY(!shown.contains(late.portName()));
    QVERIFY(catcher.boxes().isEmpty());
}

void TestMainWindow::fileDialog_data() {
    QTest::addColumn<bool>("accept");
    QTest::newRow("cancel clears the field") << false;
    QTest::newRow("choice fills the field") << true;
}

void TestMainWindow::fileDialog() {
    QFETCH(bool, accept);
    testsupport::TempFiles files;
    const QString image = files.write("image.bin", "{x}");

    MainWindow window;
    window.show();
    auto *edit = window.findChild<QLineEdit *>("leFile");
    edit->setText(QStringLiteral("/previous/choice.bin"));

    QString caption;
    QStringList filters;
    QString directory;
    ModalCatcher catcher;
    catcher.onDialog = [&](QWidget *widget) {
        auto *dialog = qobject_cast<QFileDialog *>(widget);
        if (!dialog)
            return;
        caption = dialog->windowTitle();
        filters = dialog->nameFilters();
        directory = dialog->directory().absolutePath();
        if (accept) {
            // Typed into the name field and confirmed, as a user would.
            auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
            QVERIFY(name);
            name->setText(image);
            QMetaObject::invokeMethod(dialog, "accept");
        } else {
            dialog->reject();
        }
    };
    QTest::mouseClick(window.findChild<QPushButton *>("pbFile"), Qt::LeftButton);

    QCOMPARE(caption, QStringLiteral("Open binary file"));
    QCOMPARE(filters, QStringList{QStringLiteral("Binary Files (*.bin)")});
    QCOMPARE(directory, QDir::current().absolutePath());
    QCOMPARE(edit->text(), accept ? image : QString());
}

void TestMainWindow::eachFileClickRunsDialogOnce() {
    MainWindow window;
    window.show();
    int dialogs = 0;
    ModalCatcher catcher;
    catcher.onDialog = [&](QWidget *dialog) {
        ++dialogs;
        static_cast<QDialog *>(dialog)->reject();
    };
    auto *button = window.findChild<QPushButton *>("pbFile");
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(dialogs, 1);
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(dialogs, 2);
}

void TestMainWindow::uploadRefusals_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QStringList>("log");

    QTest::newRow("empty path") << ""
                                << ""
                                << "File not open" << QStringList();
    QTest::newRow("missing file") << "missing.bin"
                                  << ""
                                  << "File not open" << QStringList();
    QTest::newRow("empty file") << "empty.bin"
                                << ""
                                << "File is empty" << QStringList();
    QTest::newRow("no record") << "norecord.bin"
                               << ""
                               << "Firmware not found" << QStringList{"Num records:  0"};
    QTest::newRow("no port") << "image.bin"
                             << ""
                             << "Serial port is busy" << QStringList{"Num records:  2"};
    QTest::newRow("missing port") << "image.bin"
                                  << "ttyNoSuchPort9"
                                  << "Serial port is busy" << QStringList{"Num records:  2"};
}

void TestMainWindow::uploadRefusals() {
    QFETCH(QString, file);
    QFETCH(QString, port);
    QFETCH(QString, message);
    QFETCH(QStringList, log);

    testsupport::TempFiles files;
    files.write("empty.bin", QByteArray());
    files.write("norecord.bin", "no braces here");
    files.write("image.bin", "{a}{b}");

    MainWindow window;
    window.show();
    auto *bar = window.findChild<QProgressBar *>("progressBar");
    bar->setValue(42);
    window.findChild<QLineEdit *>("leFile")->setText(file.isEmpty() ? file : files.path(file));
    auto *ports = window.findChild<QComboBox *>("cbPort");
    ports->clear();
    if (!port.isEmpty())
        ports->addItem(port);

    testsupport::LogCapture capture;
    ModalCatcher catcher;
    QTest::mouseClick(window.findChild<QPushButton *>("pbLoad"), Qt::LeftButton);

    const auto boxes = catcher.boxes();
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes[0].title, QStringLiteral("Error"));
    QCOMPARE(boxes[0].text, message);
    QVERIFY(boxes[0].critical);
    QCOMPARE(boxes[0].buttonCount, 1);
    QCOMPARE(bar->value(), 0);
    QCOMPARE(capture.debugLines(), log);
}

void TestMainWindow::uploadReadsFieldAtClickTime() {
    testsupport::TempFiles files;
    const QString empty = files.write("empty.bin", QByteArray());
    MainWindow window;
    window.show();
    auto *edit = window.findChild<QLineEdit *>("leFile");
    edit->setText(files.path("missing.bin"));
    edit->setText(empty);
    ModalCatcher catcher;
    QTest::mouseClick(window.findChild<QPushButton *>("pbLoad"), Qt::LeftButton);
    QCOMPARE(catcher.boxes().size(), 1);
    QCOMPARE(catcher.boxes()[0].text, QStringLiteral("File is empty"));
}

namespace {

// Points the port box at the simulated device only.
void choosePort(MainWindow &window, const QString &name) {
    auto *ports = window.findChild<QComboBox *>("cbPort");
    ports->clear();
    if (!name.isEmpty())
        ports->addItem(name);
}

} // namespace

void TestMainWindow::uploadToDevice_data() {
    QTest::addColumn<bool>("acknowledge");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("progress");

    QTest::newRow("acknowledged") << true << "Success"
                                  << "Firmware loaded!" << 100;
    QTest::newRow("refused") << false << "Error"
                             << "Firmware not loaded" << 50;
}

void TestMainWindow::uploadToDevice() {
    QFETCH(bool, acknowledge);
    QFETCH(QString, title);
    QFETCH(QString, message);
    QFETCH(int, progress);

    sim::SimDevice device;
    QVERIFY(device.start());
    if (!acknowledge) {
        device.setResponder([](const sim::SimDevice::Received &received) {
            return received.index == 0 ? sim::SimDevice::defaultReply(received)
                                       : sim::SimDevice::Reply{{0, "no"}};
        });
    }
    testsupport::TempFiles files;
    MainWindow window;
    window.setTiming(kQuick);
    window.show();
    window.findChild<QLineEdit *>("leFile")->setText(files.write("image.bin", "{a}{b}"));
    choosePort(window, device.portName());
    auto *bar = window.findChild<QProgressBar *>("progressBar");

    testsupport::LogCapture quiet;
    ModalCatcher catcher;
    catcher.whileOpen = [&] { return QString::number(bar->value()); };
    QTest::mouseClick(window.findChild<QPushButton *>("pbLoad"), Qt::LeftButton);

    QCOMPARE(catcher.boxes().size(), 1);
    const ModalCatcher::Box box = catcher.boxes().first();
    QCOMPARE(box.title, title);
    QCOMPARE(box.text, message);
    QCOMPARE(box.critical, !acknowledge);
    QCOMPARE(box.buttonCount, 1);
    // The bar shows its final value while the box is open, and keeps it afterwards.
    QCOMPARE(box.note, QString::number(progress));
    QCOMPARE(bar->value(), progress);
    QCOMPARE(device.records().size(), acknowledge ? 2 : 6);
}

void TestMainWindow::bootloaderEntry_data() {
    QTest::addColumn<QString>("reply");
    QTest::addColumn<bool>("hasPort");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("commands");

    QTest::newRow("confirmed") << "..KOK.." << true << "Success"
                               << "Device is in bootloader mode now" << 1;
    QTest::newRow("not confirmed") << "NOK" << true << "Error"
                                   << "Device is out of bootloader mode" << 3;
    QTest::newRow("no port") << "" << false << "Error"
                             << "Serial port is busy" << 0;
}

void TestMainWindow::bootloaderEntry() {
    QFETCH(QString, reply);
    QFETCH(bool, hasPort);
    QFETCH(QString, title);
    QFETCH(QString, message);
    QFETCH(int, commands);

    sim::SimDevice device;
    QVERIFY(device.start());
    device.setResponder([&](const sim::SimDevice::Received &) {
        return sim::SimDevice::Reply{{0, reply.toLatin1()}};
    });
    MainWindow window;
    window.setTiming(kQuick);
    window.show();
    choosePort(window, hasPort ? device.portName() : QString());
    auto *bar = window.findChild<QProgressBar *>("progressBar");
    bar->setValue(42);

    testsupport::LogCapture log;
    ModalCatcher catcher;
    // The button is disabled in the window as built; the operation is reached through its slot.
    QVERIFY(QMetaObject::invokeMethod(&window, "on_pbLoadBootLoader_clicked"));

    QCOMPARE(catcher.boxes().size(), 1);
    QCOMPARE(catcher.boxes()[0].title, title);
    QCOMPARE(catcher.boxes()[0].text, message);
    QCOMPARE(catcher.boxes()[0].critical, title == QLatin1String("Error"));
    QCOMPARE(device.commandCount(), commands);
    QCOMPARE(bar->value(), 42);
    QVERIFY(log.debugLines().isEmpty());
}

void TestMainWindow::bootloaderButtonStaysDisabled() {
    sim::SimDevice device;
    QVERIFY(device.start());
    MainWindow window;
    window.show();
    choosePort(window, device.portName());
    ModalCatcher catcher;
    auto *button = window.findChild<QPushButton *>("pbLoadBootLoader");
    QTest::mouseClick(button, Qt::LeftButton);
    QTest::qWait(50);
    QVERIFY(!button->isEnabled());
    QVERIFY(catcher.boxes().isEmpty());
    QCOMPARE(device.commandCount(), 0);
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
