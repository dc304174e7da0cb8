#include "benchdata.h"

#include "keypicking.h"

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

QByteArray listFile(const QByteArrayList& keys)
{
    QByteArray file;
    for (const QByteArray& key : keys)
        file += key + "\r\nhttp://cams.example.com/" + QByteArray::number(file.size()) + "\r\n";
    return file;
}

KeyList sortedKeys(const QByteArray& file)
{
    KeyList keys(KeyList::Order::Sorted);
    keys.addAll(file, pickKeys(file));
    return keys;
}

} // namespace

BenchLists makeBenchLists(qsizetype serverCount, qsizetype ownCount)
{
    std::mt19937 random(20261208);
    QByteArrayList server;
    server.reserve(serverCount);
    for (qsizetype i = 0; i < serverCount; ++i)
        server.append(keyFor(i, random));
    // Every second server key is also an own key; the rest of the own list is the user's own.
    QByteArrayList own;
    own.reserve(ownCount);
    for (qsizetype i = 0; i < serverCount && own.size() < ownCount; i += 2)
        own.append(server.at(i));
    for (qsizetype i = serverCount; own.size() < ownCount; ++i)
        own.append(keyFor(i, random));

    BenchLists lists;
    lists.own = sortedKeys(listFile(own));
    lists.server = sortedKeys(listFile(server));
    return lists;
}

QByteArray makeServerCopy(const KeyList& serverKeys)
{
    return listFile(serverKeys.toByteArrayList()) + "\r\n";
}

QByteArray makeShuffledListFile(qsizetype count)
{
    std::mt19937 random(20261208);
    QByteArrayList keys;
    keys.reserve(count);
    for (qsizetype i = 0; i < count; ++i)
        keys.append(keyFor(i, random));
    std::shuffle(keys.begin(), keys.end(), random);
    return listFile(keys);
}
