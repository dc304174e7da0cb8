// The merge: the run's one pass over the server list, with the append, against a rescan of
// the list for every new key.
#include "bench/benchdata.h"
#include "camlist/format/linereader.h"
#include "camlist/run/updaterun.h"
#include "camlist/store/camsfileappender.h"
#include "camlist/store/listfiles.h"

#include <QSet>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

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
        run.receive(FetchedBody{serverText});
        waitWhileIn(run, UpdateRun::State::Loading);
        run.startSearch();
        while (!run.searchStep()) {
        }
        state.ResumeTiming();
        run.addNewCams();
        waitWhileIn(run, UpdateRun::State::Adding);
        if (run.state() != UpdateRun::State::AddEnded || !run.addResult().ok() ||
            run.addResult().value().keys.count() != newKeys.size())
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

// The records of that many cams, as the run hands them to the append.
QByteArray addedRecords(qsizetype count)
{
    const BenchLists lists = makeBenchLists(count, 0);
    return makeListFile(lists.server.toByteArrayList());
}

// The append of the records to a small own list, with everything that makes it safe: the lock,
// the look at what the list holds now, the journal written and flushed with its folder, the
// records written and flushed, the journal removed and the folder flushed.
void BM_AddWithJournal(benchmark::State& state)
{
    const QByteArray records = addedRecords(state.range(0));
    const QByteArray own("own\r\nhttp://own.example/own.jpg\r\n");
    const RunFolder folder(own);
    for (auto _ : state) {
        state.PauseTiming();
        folder.reset();
        state.ResumeTiming();
        // As the run hands it over: the list as it was read, which the records are not in.
        const auto outcome = CamsFileAppender::append(ListFiles::ownFile(), records, own);
        if (!outcome.ok() || outcome.value().count != state.range(0))
            state.SkipWithError("the records were not all added");
    }
    state.counters["bytes"] = static_cast<double>(records.size());
}
BENCHMARK(BM_AddWithJournal)->Arg(500'000)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same bytes written to a new file beside the list and flushed to disk: what the disk
// itself takes.
void BM_WriteAndFlush(benchmark::State& state)
{
    const QByteArray records = addedRecords(state.range(0));
    const RunFolder folder("own\r\nhttp://own.example/own.jpg\r\n");
    for (auto _ : state) {
        state.PauseTiming();
        ::unlink("plain.inf");
        state.ResumeTiming();
        const int fd = ::open("plain.inf", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        bool done = fd >= 0;
        for (qsizetype at = 0; done && at < records.size();) {
            const ssize_t wrote =
                ::write(fd, records.constData() + at, static_cast<size_t>(records.size() - at));
            done = wrote > 0;
            at += wrote;
        }
        done = done && ::fsync(fd) == 0;
        if (fd >= 0)
            ::close(fd);
        if (!done)
            state.SkipWithError("the bytes were not written");
    }
    state.counters["bytes"] = static_cast<double>(records.size());
}
BENCHMARK(BM_WriteAndFlush)->Arg(500'000)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
