// The merge: one pass over the server copy against a rescan of it for every new key.
#include "benchdata.h"
#include "linereader.h"
#include "recordmerge.h"

#include <benchmark/benchmark.h>

namespace {

QList<QByteArrayView> everySecondKey(const KeyList& keys, qsizetype count)
{
    QList<QByteArrayView> picked;
    for (qsizetype i = 1; i < keys.count() && picked.size() < count; i += 2)
        picked.append(keys.item(i));
    return picked;
}

void BM_OnePassMerge(benchmark::State& state)
{
    const BenchLists lists = makeBenchLists(100'000, 0);
    const QByteArray copy = makeServerCopy(lists.server);
    const QList<QByteArrayView> newKeys = everySecondKey(lists.server, state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(RecordMerge::build(copy, newKeys));
    state.counters["keys_per_s"] = benchmark::Counter(static_cast<double>(newKeys.size()) *
                                                          static_cast<double>(state.iterations()),
                                                      benchmark::Counter::kIsRate);
}
BENCHMARK(BM_OnePassMerge)->Arg(2'000)->Arg(50'000)->Unit(benchmark::kMillisecond);

// Reads the copy from its start for every key, stopping at the first equal line.
void BM_RescanMerge(benchmark::State& state)
{
    const BenchLists lists = makeBenchLists(100'000, 0);
    const QByteArray copy = makeServerCopy(lists.server);
    const QList<QByteArrayView> newKeys = everySecondKey(lists.server, state.range(0));
    for (auto _ : state) {
        QByteArray block;
        for (const QByteArrayView key : newKeys) {
            LineReader reader(copy);
            QByteArrayView line;
            while (reader.next(line)) {
                if (line == key) {
                    QByteArrayView detail;
                    reader.next(detail);
                    block.append(line).append("\r\n").append(detail).append("\r\n");
                    break;
                }
            }
        }
        benchmark::DoNotOptimize(block);
    }
    state.counters["keys_per_s"] = benchmark::Counter(static_cast<double>(newKeys.size()) *
                                                          static_cast<double>(state.iterations()),
                                                      benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RescanMerge)->Arg(2'000)->Unit(benchmark::kMillisecond);

} // namespace
