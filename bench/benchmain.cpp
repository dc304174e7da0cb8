// The benchmarks' main: the run's workers come back through the event loop, which needs an
// application object.
#include <QCoreApplication>
#include <benchmark/benchmark.h>

int main(int argc, char* argv[])
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    const QCoreApplication app(argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
