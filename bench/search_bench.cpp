// The cam search: the run's stepped, indexed search against a literal one-comparison-per-tick
// search.
#include "bench/benchdata.h"
#include "camlist/run/updaterun.h"

#include <QElapsedTimer>
#include <algorithm>
#include <benchmark/benchmark.h>

namespace {

// The whole search as the program runs it: the run's search steps, one time slice each, as the
// search window's timer drives them. Reading and sorting the lists is left out of the time.
void BM_SteppedSearch(benchmark::State& state)
{
    const BenchLists lists = makeBenchLists(state.range(0), state.range(0));
    const RunFolder folder(makeServerCopy(lists.own));
    const QByteArray serverText = makeServerCopy(lists.server);
    qint64 longestStepNs = 0;
    qint64 steps = 0;
    for (auto _ : state) {
        state.PauseTiming();
        UpdateRun run;
        run.receive(FetchedBody{serverText});
        waitWhileIn(run, UpdateRun::State::Loading);
        state.ResumeTiming();
        run.startSearch();
        bool ended = false;
        while (!ended) {
            QElapsedTimer clock;
            clock.start();
            ended = run.searchStep();
            longestStepNs = std::max(longestStepNs, clock.nsecsElapsed());
            ++steps;
        }
        benchmark::DoNotOptimize(run.newKeys().count());
    }
    state.counters["longest_step_ms"] = static_cast<double>(longestStepNs) / 1e6;
    state.counters["steps"] = static_cast<double>(steps) / static_cast<double>(state.iterations());
    state.counters["keys_per_s"] = benchmark::Counter(static_cast<double>(state.range(0)) *
                                                          static_cast<double>(state.iterations()),
                                                      benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SteppedSearch)->Arg(2'000)->Arg(100'000)->Unit(benchmark::kMillisecond);

// One own key against one server key per step, every own key for every server key: the
// handler work alone, without the 1 ms timer that paces each step in a window.
void BM_LiteralSearch(benchmark::State& state)
{
    const BenchLists lists = makeBenchLists(state.range(0), state.range(0));
    for (auto _ : state) {
        qsizetype pos1 = 0;
        qsizetype pos2 = 0;
        bool found = false;
        QList<QByteArrayView> newKeys;
        qint64 ticks = 0;
        while (pos2 < lists.server.count()) {
            ++ticks;
            if (lists.own.item(pos1) == lists.server.item(pos2))
                found = true;
            if (++pos1 >= lists.own.count()) {
                if (!found)
                    newKeys.append(lists.server.item(pos2));
                found = false;
                pos1 = 0;
                ++pos2;
            }
        }
        benchmark::DoNotOptimize(newKeys);
        state.counters["ticks"] = static_cast<double>(ticks);
        // At the timer's 1 ms, each tick costs at least a millisecond of the user's time.
        state.counters["timer_paced_s"] = static_cast<double>(ticks) / 1000.0;
    }
    state.counters["keys_per_s"] = benchmark::Counter(static_cast<double>(state.range(0)) *
                                                          static_cast<double>(state.iterations()),
                                                      benchmark::Counter::kIsRate);
}
BENCHMARK(BM_LiteralSearch)->Arg(2'000)->Unit(benchmark::kMillisecond);

} // namespace
