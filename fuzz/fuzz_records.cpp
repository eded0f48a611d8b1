// libFuzzer target of the image reader: every input is split by transfer::splitRecords and
// checked against the reference reading in recordoracle, then loaded from a file by
// transfer::loadImage, which must give the same records or the refusal the input calls for.
// A difference aborts, and libFuzzer keeps the input that caused it.

#include "firmwareimage.h"
#include "recordoracle.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtGlobal>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

std::unique_ptr<QTemporaryDir> scratch;
QString imagePath;

void dropMessage(QtMsgType, const QMessageLogContext &, const QString &) {}

[[noreturn]] void fail(const char *step, const std::string &what) {
    std::fprintf(stderr, "%s: %s\n", step, what.c_str());
    std::abort();
}

std::vector<std::string> toStrings(const transfer::RecordList &records) {
    std::vector<std::string> strings;
    strings.reserve(size_t(records.size()));
    for (const QByteArray &record : records)
        strings.emplace_back(record.constData(), size_t(record.size()));
    return strings;
}

void checkLoad(const uint8_t *data, size_t size, const transfer::RecordList &split) {
    QFile file(imagePath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(reinterpret_cast<const char *>(data), qint64(size)) != qint64(size)) {
        fail("loadImage", "cannot write the scratch image");
    }
    file.close();

    const transfer::LoadedImage image = transfer::loadImage(imagePath);
    std::optional<transfer::Outcome> expected;
    if (size == 0)
        expected = transfer::Outcome::FileEmpty;
    else if (split.isEmpty())
        expected = transfer::Outcome::FirmwareNotFound;
    if (image.refusal != expected)
        fail("loadImage", "wrong refusal");
    if (image.records != (expected ? transfer::RecordList() : split))
        fail("loadImage", "records differ from splitRecords");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // loadImage logs each record count; a million lines would only slow the run down.
    qInstallMessageHandler(dropMessage);
    // The image is written anew for every input: in memory where the machine has /dev/shm, as
    // a file on disk costs ten times as many inputs a second.
    const QFileInfo shm(QStringLiteral("/dev/shm"));
    scratch =
        shm.isDir() && shm.isWritable()
            ? std::make_unique<QTemporaryDir>(QStringLiteral("/dev/shm/bootloader-fuzz-XXXXXX"))
            : std::make_unique<QTemporaryDir>();
    if (!scratch->isValid())
        fail("setup", "no scratch directory");
    imagePath = scratch->filePath(QStringLiteral("image.bin"));
    std::atexit([] { scratch.reset(); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > size_t(transfer::kMaxImageSize))
        return -1;
    // Not copied: a read past the input's last byte lands outside libFuzzer's buffer.
    const QByteArray image =
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    const transfer::RecordList records = transfer::splitRecords(image);
    const std::string mismatch = recordoracle::checkRecords(data, size, toStrings(records));
    if (!mismatch.empty())
        fail("splitRecords", mismatch);
    checkLoad(data, size, records);
    return 0;
}
