#pragma once

#include <cstddef>
#include <string>
#include <vector>

// A second reading of an image's records, kept apart from transfer::splitRecords and written
// another way (one byte at a time, no searching), so that each can be checked against the other
// by the fuzzer and by the corpus replay in the test suite. Plain C++: no Qt.
namespace recordoracle {

// Where one record lies in the image: its first byte ('{') and its length up to and including
// the '}' that closes it.
struct Span {
    std::size_t offset;
    std::size_t size;
};

// The records of an image, in file order, read byte by byte: outside a record a '{' opens one
// and every other byte is skipped; inside one every byte belongs to it and the first '}' closes
// it. A record still open at the end of the image is dropped.
std::vector<Span> referenceRecords(const unsigned char *data, std::size_t size);

// Checks records found by the splitter under test against the reference reading of the same
// image and against the rules every record keeps: it starts with '{', ends with '}' and holds no
// other '}', and all records together are no longer than the image. Returns an empty string
// when all holds, else what differs, for the failure message.
std::string checkRecords(const unsigned char *data, std::size_t size,
                         const std::vector<std::string> &records);

} // namespace recordoracle
