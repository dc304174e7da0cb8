#pragma once

// Shared by the fuzzers: turning camlist's results into model bytes, and stopping with a
// readable report when they differ, so libFuzzer saves the input as a crash.

#include "camlist/format/keylist.h"
#include "tests/fuzz/referencemodel.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace fuzz {

inline model::Bytes bytes(QByteArrayView view)
{
    return model::Bytes(view.data(), static_cast<std::size_t>(view.size()));
}

inline model::ByteLists byteLists(const QList<QByteArrayView>& list)
{
    model::ByteLists result;
    for (const QByteArrayView item : list)
        result.push_back(bytes(item));
    return result;
}

// A key list's keys with their detail lines, as the model writes them.
inline model::Records records(const KeyList& keys)
{
    model::Records result;
    for (qsizetype i = 0; i < keys.count(); ++i) {
        const std::optional<QByteArrayView> detail = keys.detail(i);
        result.push_back(
            {bytes(keys.item(i)), detail.has_value(), detail ? bytes(*detail) : model::Bytes()});
    }
    return result;
}

// A heap copy of exactly the given size, so AddressSanitizer sees any read past its end.
inline std::vector<char> exactCopy(const model::Bytes& data)
{
    return std::vector<char>(data.begin(), data.end());
}

inline QByteArrayView view(const std::vector<char>& data)
{
    return QByteArrayView(data.data(), static_cast<qsizetype>(data.size()));
}

inline void printBytes(const model::Bytes& data)
{
    std::fputc('"', stderr);
    for (const char c : data) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\r')
            std::fputs("\\r", stderr);
        else if (byte == '\n')
            std::fputs("\\n", stderr);
        else if (byte >= 0x20 && byte < 0x7f && byte != '"' && byte != '\\')
            std::fputc(byte, stderr);
        else
            std::fprintf(stderr, "\\x%02x", byte);
    }
    std::fputc('"', stderr);
}

inline void printList(const model::ByteLists& list)
{
    std::fputc('[', stderr);
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (i > 0)
            std::fputs(", ", stderr);
        printBytes(list[i]);
    }
    std::fputc(']', stderr);
}

inline void printValue(int value)
{
    std::fprintf(stderr, "%d", value);
}

inline void printValue(const model::Bytes& data)
{
    printBytes(data);
}

inline void printValue(const model::ByteLists& list)
{
    printList(list);
}

inline void printValue(const model::Records& records)
{
    model::ByteLists pairs;
    for (const model::Record& record : records) {
        pairs.push_back(record.key);
        pairs.push_back(record.hasDetail ? record.detail : model::Bytes("(none)"));
    }
    printList(pairs);
}

// Stops the run (libFuzzer then saves the input) when camlist's value differs from the model's.
// `what` names the check and says what the parts of `context` are.
template <typename Value>
void expectEqual(const char* what, const Value& camlist, const Value& expected,
                 const model::ByteLists& context)
{
    if (camlist == expected)
        return;
    std::fprintf(stderr, "\n==== MISMATCH: %s\n  for:      ", what);
    printList(context);
    std::fputs("\n  camlist:  ", stderr);
    printValue(camlist);
    std::fputs("\n  expected: ", stderr);
    printValue(expected);
    std::fputs("\n", stderr);
    std::abort();
}

} // namespace fuzz
