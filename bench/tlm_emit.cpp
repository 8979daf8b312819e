// Telemetry emission cost per event, measured in a tight native loop (no Python in the way).
// Built and run by bench_telemetry.py: prints "name nanoseconds_per_event" lines.
#include <chrono>
#include <cstdio>
#include <vector>

#include "ox_tlm/ox_tlm_core.h"

namespace {

template <class F>
double ns_per_event(size_t events, F &&body) {
    double best = 1e30;
    for (int round = 0; round < 5; ++round) {
        const auto t0 = std::chrono::steady_clock::now();
        body();
        const auto t1 = std::chrono::steady_clock::now();
        const double ns = std::chrono::duration<double, std::nano>(t1 - t0).count() / events;
        if (ns < best) best = ns;
    }
    return best;
}

}  // namespace

int main() {
    constexpr size_t kEvents = 1 << 22;
    ox_tlm *tlm = ox_tlm_create(1 << 16);
    const int emitted_id = ox_tlm_probe(tlm, "b.emitted", 1);
    const int decim_id = ox_tlm_probe(tlm, "b.decimated", 16);
    std::vector<ox_tlm_record> sink(1 << 16);

    // Emitted records, drained by the consumer every 4096 events (the ring never fills).
    const double emit = ns_per_event(kEvents, [&] {
        for (size_t k = 0; k < kEvents; ++k) {
            ox::tlm_emit(tlm, emitted_id, static_cast<double>(k));
            if ((k & 4095) == 4095) ox_tlm_read(tlm, 0, sink.data(), sink.size());
        }
    });
    // Events that decimation discards (15 of 16) plus the emitted 16th.
    const double decim = ns_per_event(kEvents, [&] {
        for (size_t k = 0; k < kEvents; ++k) {
            ox::tlm_emit(tlm, decim_id, static_cast<double>(k));
            if ((k & 65535) == 65535) ox_tlm_read(tlm, 0, sink.data(), sink.size());
        }
    });
    // A full ring: every event is counted as dropped.
    ox_tlm_read(tlm, 0, sink.data(), sink.size());
    for (size_t k = 0; k < ox_tlm_capacity(tlm); ++k) ox::tlm_emit(tlm, emitted_id, 0.0);
    const double dropped = ns_per_event(kEvents, [&] {
        for (size_t k = 0; k < kEvents; ++k) ox::tlm_emit(tlm, emitted_id, 1.0);
    });
    std::printf("emit %.3f\ndecimated %.3f\ndropped %.3f\n", emit, decim, dropped);
    ox_tlm_destroy(tlm);
    return 0;
}
