// Replays the fuzzer's inputs, the seeds in fuzz/corpus and the saved failures in
// fuzz/regressions, through transfer::splitRecords and loadImage and checks each against the
// reference splitter, so an input that once broke the reader is tried on every build. The
// reference and its check are tested here too, since they are the fuzzer's only judge.

#include "firmwareimage.h"
#include "recordoracle.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QtTest>

#include <string>
#include <vector>

using recordoracle::Span;
using transfer::Outcome;

Q_DECLARE_METATYPE(std::vector<Span>)
Q_DECLARE_METATYPE(std::vector<std::string>)

namespace {

const unsigned char *bytes(const QByteArray &data) {
    return reinterpret_cast<const unsigned char *>(data.constData());
}

std::vector<std::string> toStrings(const transfer::RecordList &records) {
    std::vector<std::string> strings;
    for (const QByteArray &record : records)
        strings.emplace_back(record.constData(), size_t(record.size()));
    return strings;
}

QStringList inputFiles(const QString &folder) {
    QStringList files;
    const QDir dir(QStringLiteral(BOOTLOADER_FUZZ_DIR "/") + folder);
    const auto entries = dir.entryInfoList(QDir::Files, QDir::Name);
    for (const QFileInfo &entry : entries)
        files.append(entry.absoluteFilePath());
    return files;
}

} // namespace

class TestRecordCorpus : public QObject {
    Q_OBJECT

private slots:
    void referenceReadsImages_data();
    void referenceReadsImages();
    void checkRefusesWrongRecords_data();
    void checkRefusesWrongRecords();
    void corpusIsThere();
    void replaysInput_data();
    void replaysInput();
};

void TestRecordCorpus::referenceReadsImages_data() {
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<std::vector<Span>>("spans");

    QTest::newRow("empty") << QByteArray() << std::vector<Span>{};
    QTest::newRow("two records") << QByteArray("{ab}{cd}") << std::vector<Span>{{0, 4}, {4, 4}};
    QTest::newRow("filler around") << QByteArray("xx{ab}yy") << std::vector<Span>{{2, 4}};
    QTest::newRow("opening brace inside") << QByteArray("{a{b}") << std::vector<Span>{{0, 5}};
    QTest::newRow("stray closing braces") << QByteArray("}}{x}}") << std::vector<Span>{{2, 3}};
    QTest::newRow("unclosed last") << QByteArray("{a}{bc") << std::vector<Span>{{0, 3}};
    QTest::newRow("lone opening") << QByteArray("{") << std::vector<Span>{};
    QTest::newRow("empty record") << QByteArray("{}") << std::vector<Span>{{0, 2}};
    QTest::newRow("zero bytes") << QByteArray("\0{\0}\0", 5) << std::vector<Span>{{1, 3}};
}

void TestRecordCorpus::referenceReadsImages() {
    QFETCH(QByteArray, image);
    QFETCH(std::vector<Span>, spans);
    const std::vector<Span> read =
        recordoracle::referenceRecords(bytes(image), size_t(image.size()));
    QCOMPARE(read.size(), spans.size());
    for (size_t i = 0; i < spans.size(); ++i) {
        QCOMPARE(read[i].offset, spans[i].offset);
        QCOMPARE(read[i].size, spans[i].size);
    }
}

void TestRecordCorpus::checkRefusesWrongRecords_data() {
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<std::vector<std::string>>("records");
    QTest::addColumn<QString>("complaint");

    const QByteArray image("..{ab}..{c{d}..{e");
    QTest::newRow("right") << image << std::vector<std::string>{"{ab}", "{c{d}"} << QString();
    QTest::newRow("record missing")
        << image << std::vector<std::string>{"{ab}"} << "1 records, the reference reads 2";
    QTest::newRow("unclosed record taken")
        << image << std::vector<std::string>{"{ab}", "{c{d}", "{e"}
        << "record not enclosed in '{' and '}' (record 2)";
    QTest::newRow("closing brace dropped") << image << std::vector<std::string>{"{ab", "{c{d}"}
                                           << "record not enclosed in '{' and '}' (record 0)";
    QTest::newRow("two records run together")
        << QByteArray("{a}{b}") << std::vector<std::string>{"{a}{b}"}
        << "'}' inside a record (record 0)";
    QTest::newRow("started at the inner brace") << image << std::vector<std::string>{"{ab}", "{d}"}
                                                << "record differs from the reference (record 1)";
    QTest::newRow("longer than the image")
        << QByteArray("{ab}") << std::vector<std::string>{"{ab}", "{ab}"}
        << "records hold 8 bytes, the image only 4";
    QTest::newRow("record of another image")
        << QByteArray("{ab}") << std::vector<std::string>{"{xy}"}
        << "record differs from the reference (record 0)";
}

void TestRecordCorpus::checkRefusesWrongRecords() {
    QFETCH(QByteArray, image);
    QFETCH(std::vector<std::string>, records);
    QFETCH(QString, complaint);
    const std::string said =
        recordoracle::checkRecords(bytes(image), size_t(image.size()), records);
    QCOMPARE(QString::fromStdString(said), complaint);
}

void TestRecordCorpus::corpusIsThere() {
    // An empty or misplaced folder would leave replaysInput without a row, passing on nothing.
    QVERIFY2(inputFiles(QStringLiteral("corpus")).size() >= 10, BOOTLOADER_FUZZ_DIR);
    QVERIFY2(!inputFiles(QStringLiteral("regressions")).isEmpty(), BOOTLOADER_FUZZ_DIR);
}

void TestRecordCorpus::replaysInput_data() {
    QTest::addColumn<QString>("path");
    for (const char *folder : {"corpus", "regressions"}) {
        const QStringList files = inputFiles(QLatin1String(folder));
        for (const QString &path : files) {
            const QString tag = QLatin1String(folder) + '/' + QFileInfo(path).fileName();
            QTest::newRow(qPrintable(tag)) << path;
        }
    }
}

void TestRecordCorpus::replaysInput() {
    QFETCH(QString, path);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray image = file.readAll();
    file.close();

    const transfer::RecordList records = transfer::splitRecords(image);
    const std::string mismatch =
        recordoracle::checkRecords(bytes(image), size_t(image.size()), toStrings(records));
    QVERIFY2(mismatch.empty(), mismatch.c_str());

    // Read from the file, the same records, or the refusal the contents call for.
    testsupport::LogCapture quiet;
    const transfer::LoadedImage loaded = transfer::loadImage(path);
    if (image.isEmpty()) {
        QCOMPARE(loaded.refusal, std::optional<Outcome>(Outcome::FileEmpty));
    } else if (records.isEmpty()) {
        QCOMPARE(loaded.refusal, std::optional<Outcome>(Outcome::FirmwareNotFound));
    } else {
        QVERIFY(!loaded.refusal);
        QCOMPARE(loaded.records, records);
    }
}

QTEST_GUILESS_MAIN(TestRecordCorpus)
#include "tst_recordcorpus.moc"
