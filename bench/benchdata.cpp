#include "benchdata.h"

#include "keylist.h"

#include <algorithm>
#include <random>

namespace {

QByteArray keyFor(qsizetype n, std::mt19937& random)
{
    QByteArray key = "Cam " + QByteArray::number(n) + " at ";
    const int length = std::uniform_int_distribution<int>(30, 60)(random);
    while (key.size() < length)
        key += static_cast<char>('a' + std::uniform_int_distribution<int>(0, 25)(random));
    return key;
}

} // namespace

BenchLists makeBenchLists(qsizetype serverCount, qsizetype ownCount)
{
    std::mt19937 random(20261208);
    BenchLists lists;
    lists.server.reserve(serverCount);
    for (qsizetype i = 0; i < serverCount; ++i)
        lists.server.append(keyFor(i, random));
    // Every second server key is also an own key; the rest of the own list is the user's own.
    lists.own.reserve(ownCount);
    for (qsizetype i = 0; i < serverCount && lists.own.size() < ownCount; i += 2)
        lists.own.append(lists.server.at(i));
    for (qsizetype i = serverCount; lists.own.size() < ownCount; ++i)
        lists.own.append(keyFor(i, random));

    const auto less = [](const QByteArray& a, const QByteArray& b) {
        return KeyList::lessIgnoringCase(a, b);
    };
    std::stable_sort(lists.own.begin(), lists.own.end(), less);
    std::stable_sort(lists.server.begin(), lists.server.end(), less);
    return lists;
}

QByteArray makeServerCopy(const QByteArrayList& serverKeys)
{
    QByteArray copy;
    for (const QByteArray& key : serverKeys)
        copy += key + "\r\nhttp://cams.example.com/" + QByteArray::number(copy.size()) + "\r\n";
    return copy + "\r\n";
}
