#pragma once

// A plain reference model of the list-file rules, written from the rules alone and sharing no
// code with camlist: byte by byte, no search functions, no Qt. The fuzzers compare camlist
// against it, so it is kept as simple as the rules read.

#include <cstddef>
#include <string>
#include <vector>

namespace model {

using Bytes = std::string; // 8-bit bytes, NUL included
using ByteLists = std::vector<Bytes>;

// A line ends at CR LF or at a lone CR (the ending is not part of the line); a lone LF stays in
// the line. The last line needs no ending, and a final ending does not start another line.
inline ByteLists lines(const Bytes& file)
{
    ByteLists result;
    Bytes current;
    bool lineOpen = false; // bytes were read since the last line end
    std::size_t i = 0;
    while (i < file.size()) {
        const char byte = file[i];
        if (byte == '\r') {
            result.push_back(current);
            current.clear();
            lineOpen = false;
            i += 1;
            if (i < file.size() && file[i] == '\n')
                i += 1;
        } else {
            current.push_back(byte);
            lineOpen = true;
            i += 1;
        }
    }
    if (lineOpen)
        result.push_back(current);
    return result;
}

// A non-empty line is a key and the line after it (if any) is its detail line; an empty line
// is skipped by itself.
inline ByteLists keys(const Bytes& file)
{
    const ByteLists all = lines(file);
    ByteLists result;
    std::size_t i = 0;
    while (i < all.size()) {
        if (all[i].empty()) {
            i += 1;
        } else {
            result.push_back(all[i]);
            i += 2;
        }
    }
    return result;
}

// A key and the line after it; hasDetail is false when the key is the last line.
struct Record
{
    Bytes key;
    bool hasDetail = false;
    Bytes detail;

    bool operator==(const Record&) const = default;
};
using Records = std::vector<Record>;

// The keys with their detail lines, in file order.
inline Records records(const Bytes& file)
{
    const ByteLists all = lines(file);
    Records result;
    std::size_t i = 0;
    while (i < all.size()) {
        if (all[i].empty()) {
            i += 1;
        } else {
            const bool hasDetail = i + 1 < all.size();
            result.push_back({all[i], hasDetail, hasDetail ? all[i + 1] : Bytes()});
            i += 2;
        }
    }
    return result;
}

// The order of a sorted list: ASCII capitals count as small letters, every other byte by its
// value, and a key that is the start of another comes first.
inline bool lessIgnoringCase(const Bytes& a, const Bytes& b)
{
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
        unsigned char ca = static_cast<unsigned char>(a[i]);
        unsigned char cb = static_cast<unsigned char>(b[i]);
        if (ca >= 'A' && ca <= 'Z')
            ca = static_cast<unsigned char>(ca - 'A' + 'a');
        if (cb >= 'A' && cb <= 'Z')
            cb = static_cast<unsigned char>(cb - 'A' + 'a');
        if (ca != cb)
            return ca < cb;
    }
    return a.size() < b.size();
}

// A sorted list filled one record at a time: each goes after every record before it whose key
// is not greater than its own.
inline Records sortedOneByOne(const Records& unsorted)
{
    Records result;
    for (const Record& record : unsorted) {
        std::size_t place = result.size();
        while (place > 0 && lessIgnoringCase(record.key, result[place - 1].key))
            place -= 1;
        result.insert(result.begin() + static_cast<std::ptrdiff_t>(place), record);
    }
    return result;
}

struct Merge
{
    Bytes block;
    ByteLists addedKeys;
};

// For every new key, in order, the copy is read again from its start and the first line equal
// to the key is taken with the line after it (empty when the key is on the last line).
inline Merge merge(const Bytes& serverCopy, const ByteLists& newKeys)
{
    Merge result;
    for (const Bytes& key : newKeys) {
        const ByteLists all = lines(serverCopy);
        for (std::size_t i = 0; i < all.size(); ++i) {
            if (all[i] == key) {
                const Bytes detail = i + 1 < all.size() ? all[i + 1] : Bytes();
                result.block += key + "\r\n" + detail + "\r\n";
                result.addedKeys.push_back(key);
                break;
            }
        }
    }
    return result;
}

} // namespace model
