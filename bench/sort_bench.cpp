// Key picking and sorting: views into the file's bytes, sorted once on a folded prefix, against
// a heap copy of every key sorted with a byte-at-a-time case-folding compare.
#include "bench/benchdata.h"
#include "camlist/format/keylist.h"
#include "camlist/format/keypicking.h"
#include "camlist/format/linereader.h"

#include <QByteArrayList>
#include <algorithm>
#include <benchmark/benchmark.h>

namespace {

unsigned char folded(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    return (byte >= 'A' && byte <= 'Z') ? static_cast<unsigned char>(byte - 'A' + 'a') : byte;
}

bool lessOneByteAtATime(const QByteArray& a, const QByteArray& b)
{
    const qsizetype common = std::min(a.size(), b.size());
    for (qsizetype i = 0; i < common; ++i) {
        if (folded(a[i]) != folded(b[i]))
            return folded(a[i]) < folded(b[i]);
    }
    return a.size() < b.size();
}

QByteArrayList pickKeyCopies(QByteArrayView file)
{
    QByteArrayList keys;
    LineReader reader(file);
    QByteArrayView line;
    while (reader.next(line)) {
        if (line.isEmpty())
            continue;
        keys.append(line.toByteArray());
        QByteArrayView detail;
        reader.next(detail);
    }
    return keys;
}

void setRate(benchmark::State& state)
{
    state.counters["keys_per_s"] = benchmark::Counter(static_cast<double>(state.range(0)) *
                                                          static_cast<double>(state.iterations()),
                                                      benchmark::Counter::kIsRate);
}

void BM_PickKeys(benchmark::State& state)
{
    const QByteArray file = makeShuffledListFile(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(pickKeys(file));
    setRate(state);
}
BENCHMARK(BM_PickKeys)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

void BM_SortKeys(benchmark::State& state)
{
    const QByteArray file = makeShuffledListFile(state.range(0));
    const QList<QByteArrayView> keys = pickKeys(file);
    for (auto _ : state) {
        KeyList sorted(KeyList::Order::Sorted);
        sorted.addAll(file, keys);
        benchmark::DoNotOptimize(sorted);
    }
    setRate(state);
}
BENCHMARK(BM_SortKeys)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

// What filling a sorted list box from a list file costs.
void BM_PickAndSort(benchmark::State& state)
{
    const QByteArray file = makeShuffledListFile(state.range(0));
    for (auto _ : state) {
        KeyList sorted(KeyList::Order::Sorted);
        sorted.addAll(file, pickKeys(file));
        benchmark::DoNotOptimize(sorted);
    }
    setRate(state);
}
BENCHMARK(BM_PickAndSort)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

// The same with a QByteArray per key and a compare that folds one byte at a time.
void BM_PickAndSortCopies(benchmark::State& state)
{
    const QByteArray file = makeShuffledListFile(state.range(0));
    for (auto _ : state) {
        QByteArrayList keys = pickKeyCopies(file);
        std::stable_sort(keys.begin(), keys.end(), lessOneByteAtATime);
        benchmark::DoNotOptimize(keys);
    }
    setRate(state);
}
BENCHMARK(BM_PickAndSortCopies)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

} // namespace
