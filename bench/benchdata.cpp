#include "bench/benchdata.h"

#include "camlist/format/keypicking.h"
#include "camlist/store/listfiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
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

QByteArray makeListFile(const QByteArrayList& keys)
{
    QByteArray file;
    for (const QByteArray& key : keys)
        file += key + "\r\nhttp://cams.example.com/" + QByteArray::number(file.size()) + "\r\n";
    return file;
}

namespace {

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
    lists.own = sortedKeys(makeListFile(own));
    lists.server = sortedKeys(makeListFile(server));
    return lists;
}

QByteArray makeServerCopy(const KeyList& serverKeys)
{
    return makeListFile(serverKeys.toByteArrayList()) + "\r\n";
}

QByteArray makeShuffledListFile(qsizetype count)
{
    std::mt19937 random(20261208);
    QByteArrayList keys;
    keys.reserve(count);
    for (qsizetype i = 0; i < count; ++i)
        keys.append(keyFor(i, random));
    std::shuffle(keys.begin(), keys.end(), random);
    return makeListFile(keys);
}

RunFolder::RunFolder(const QByteArray& ownList)
    : m_ownList(ownList), m_previous(QDir::currentPath())
{
    QTemporaryDir folder;
    folder.setAutoRemove(false);
    m_folder = folder.path();
    QDir::setCurrent(m_folder);
    reset();
}

RunFolder::~RunFolder()
{
    QDir::setCurrent(m_previous);
    QDir(m_folder).removeRecursively();
}

void RunFolder::reset() const
{
    QFile own(ListFiles::ownFile());
    if (own.open(QIODevice::WriteOnly | QIODevice::Truncate))
        own.write(m_ownList);
}
