// OBJ text of one simulated frame: the points of a side x side sheet draped
// over a ball (float positions moved by the object's world matrix, as a run
// hands them to the exports). Reports nanoseconds per number written
// ("ns/number"), the face lines being formatted once per run.
#include <benchmark/benchmark.h>

#include <cmath>
#include <string>
#include <vector>

#include "objWriter.h"

namespace {

/// Points of a sheet of side x side over 200 x 200 units, sagging around a
/// ball of radius 50 and lifted by 110 in world space.
std::vector<Vector> drapedSheet(int side) {
    std::vector<Vector> points;
    for (int j = 0; j < side; ++j)
        for (int i = 0; i < side; ++i) {
            const float x = -100.0f + 200.0f * float(i) / float(side - 1);
            const float z = -100.0f + 200.0f * float(j) / float(side - 1);
            const float r = std::sqrt(x * x + z * z);
            const float y = r < 50.0f ? -60.0f + std::sqrt(2500.0f - r * r) : -60.0f - 0.4f * (r - 50.0f);
            points.push_back(Vector(double(x), double(y) + 110.0, double(z)));
        }
    return points;
}

/// Arguments: the side of the sheet, and the lanes the numbers are worked
/// out in (1: one by one, 4: AVX2, 8: AVX-512).
void BM_ObjPoints(benchmark::State& state) {
    const std::vector<Vector> points = drapedSheet(static_cast<int>(state.range(0)));
    const int lanes = static_cast<int>(state.range(1));
    if (lanes > objwriter_detail::widestLanes()) {
        state.SkipWithError("the processor has no lanes this wide");
        return;
    }
    std::string text(objPointsRoom(points.size()), '\0');
    size_t size = 0;
    for (auto _ : state) {
        char* end = objwriter_detail::writePointsIn(lanes, text.data(), text.data() + text.size(), points.data(),
                                                    points.size());
        size = static_cast<size_t>(end - text.data());
        benchmark::DoNotOptimize(text.data());
    }
    state.counters["ns/number"] = benchmark::Counter(double(points.size() * 3) * double(state.iterations()),
                                                     benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.SetBytesProcessed(int64_t(size) * int64_t(state.iterations()));
}
BENCHMARK(BM_ObjPoints)->ArgsProduct({{21, 101}, {1, 4, 8}})->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
