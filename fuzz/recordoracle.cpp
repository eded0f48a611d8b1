#include "recordoracle.h"

namespace recordoracle {

std::vector<Span> referenceRecords(const unsigned char *data, std::size_t size) {
    enum class State { Between, InRecord };
    std::vector<Span> spans;
    State state = State::Between;
    std::size_t start = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const unsigned char byte = data[i];
        switch (state) {
        case State::Between:
            if (byte == '{') {
                start = i;
                state = State::InRecord;
            }
            break;
        case State::InRecord:
            if (byte == '}') {
                spans.push_back({start, i - start + 1});
                state = State::Between;
            }
            break;
        }
    }
    return spans;
}

namespace {

std::string describe(const std::string &what, std::size_t index) {
    return what + " (record " + std::to_string(index) + ")";
}

} // namespace

std::string checkRecords(const unsigned char *data, std::size_t size,
                         const std::vector<std::string> &records) {
    std::size_t total = 0;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const std::string &record = records[i];
        if (record.size() < 2 || record.front() != '{' || record.back() != '}')
            return describe("record not enclosed in '{' and '}'", i);
        if (record.find('}') != record.size() - 1)
            return describe("'}' inside a record", i);
        total += record.size();
    }
    if (total > size) {
        return "records hold " + std::to_string(total) + " bytes, the image only " +
               std::to_string(size);
    }

    const std::vector<Span> expected = referenceRecords(data, size);
    if (records.size() != expected.size()) {
        return std::to_string(records.size()) + " records, the reference reads " +
               std::to_string(expected.size());
    }
    for (std::size_t i = 0; i < records.size(); ++i) {
        const Span &span = expected[i];
        const std::string bytes(reinterpret_cast<const char *>(data) + span.offset, span.size);
        if (records[i] != bytes)
            return describe("record differs from the reference", i);
    }
    return std::string();
}

} // namespace recordoracle
