// The merge: the run's one pass over the server list, with the append, against a rescan of
// the list for every new key.
#include "benchdata.h"
#include "linereader.h"
#include "updaterun.h"

#include <QSet>
#include <benchmark/benchmark.h>

namespace {

QList<QByteArrayView> everySecondKey(const KeyList& keys, qsizetype count)
{
    QList<QByteArrayView> picked;
    for (qsizetype i = 1; i < keys.count() && picked.size() < count; i += 2)
        picked.append(keys.item(i));
    return picked;
}

// "Add all" as the program does it, through the run: the records of the new cams found in the
// server list in one pass and appended to the own list, flushed to disk, and the own list
// sorted anew. The lists and the search are left out of the time.
void BM_OnePassMerge(benchmark::State& state)
{
    const BenchLists lists = makeBenchLists(100'000, 0);
    const QByteArray serverText = makeServerCopy(lists.server);
    // The own list holds every server key but the new ones.
    const QList<QByteArrayView> newKeys = everySecondKey(lists.server, state.range(0));
    const QSet<QByteArrayView> isNew(newKeys.cbegin(), newKeys.cend());
    QByteArrayList own;
    for (const QByteArrayView key : lists.server.views()) {
        if (!isNew.contains(key))
            own.append(key.toByteArray());
    }
    const RunFolder folder(makeListFile(own));
    for (auto _ : state) {
        state.PauseTiming();
        folder.reset();
        UpdateRun run;
        run.loadLists(serverText);
        run.startSearch();
        while (!run.searchStep()) {
        }
        state.ResumeTiming();
        const UpdateRun::AddOutcome outcome = run.addNewCams();
        if (!outcome.ok || outcome.addedKeys.count() != newKeys.size())
            state.SkipWithError("the new cams were not all added");
    }
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
