// libostrel from C++17 through ostrel.hpp: the same QPSK receiver and Welch PSD as the C
// program, with owning handles, span inputs, a state blob carried from one receiver to a fresh
// one in the middle of the stream, and the exceptions of a refused constructor and blob.
//
// Exit status 0 when every result is what the settings promise, 1 otherwise.
//
// Build: c++ -std=c++17 ostrel_demo.cpp $(pkg-config --cflags --libs ostrel)
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <type_traits>
#include <vector>

#include <ostrel/ostrel.hpp>

#include "signals.h"

namespace {

// A handle owns its object alone: it moves (without throwing) but never copies.
using receiver_handle = ostrel::handle<mpsk_receiver>;
static_assert(!std::is_copy_constructible_v<receiver_handle> &&
              !std::is_copy_assignable_v<receiver_handle> &&
              std::is_nothrow_move_constructible_v<receiver_handle> &&
              std::is_nothrow_move_assignable_v<receiver_handle>);

receiver_handle make_receiver() {
    // The C program's settings: QPSK, RRC matched filter, differential demapping, AGC on.
    return ostrel::create(mpsk_receiver_create, "mpsk_receiver_create", 4, 0, 1, SPAN, 1, 0, SPS,
                          0.35, 0.02, 0.0, 0.01, 0.0, 0.0, 0.0, 1);
}

bool qpsk_ber() {
    std::vector<uint8_t> sent(2 * N_SYM);
    ox_cf32 *raw = nullptr;
    const size_t n = synth_qpsk(&raw, sent.data());
    const std::vector<ox_cf32> x(raw, raw + n);
    std::free(raw);

    // Demodulate the first half, carry the state into a new receiver, finish there.
    const size_t half = n / 2;
    auto rx = make_receiver();
    std::vector<uint8_t> bits = ostrel::process(rx, mpsk_receiver_bits, mpsk_receiver_bits_max_out,
                                                ostrel::span<const ox_cf32>(x.data(), half));
    const std::vector<uint8_t> blob = rx.get_state();
    auto resumed = make_receiver();
    resumed.set_state(blob);
    rx = std::move(resumed);  // the first receiver is destroyed here
    const ostrel::span<const ox_cf32> second = ostrel::span<const ox_cf32>(x).subspan(half);
    const std::vector<uint8_t> rest =
        ostrel::process(rx, mpsk_receiver_bits, mpsk_receiver_bits_max_out, second);
    bits.insert(bits.end(), rest.begin(), rest.end());

    // The same stream without the hand-over gives the same bits.
    auto whole = make_receiver();
    const bool same = ostrel::process(whole, mpsk_receiver_bits, mpsk_receiver_bits_max_out,
                                      ostrel::span<const ox_cf32>(x)) == bits;

    size_t compared = 0;
    const size_t errors =
        count_bit_errors(bits.data(), bits.size(), sent.data(), sent.size(), &compared);
    std::printf("QPSK receiver (C++): %zu bits, state hand-over %s, BER %.2e (%zu / %zu)\n",
                bits.size(), same ? "bit-exact" : "DIFFERS",
                compared ? double(errors) / double(compared) : 1.0, errors, compared);
    return same && ber_ok(errors, compared);
}

bool welch_tone() {
    const double fs = 1e6, f0 = 123456.0;
    constexpr size_t kN = 1 << 16, kNfft = 1024;
    std::vector<std::complex<float>> x(kN);
    synth_tone(reinterpret_cast<ox_cf32 *>(x.data()), kN, f0, fs);
    auto psd = ostrel::create(psd_create, "psd_create", kNfft, fs, PSD_WINDOW_BLACKMAN_HARRIS, 0.0f,
                              1, 1.0, 0, ACC_TRACE_MEAN, 0.1);
    const auto in = ostrel::as_cf32(x);
    psd_accumulate(psd.get(), in.data(), in.size());
    std::vector<float> db(psd_psd_db_max_out(psd.get()));
    db.resize(psd_psd_db(psd.get(), 0, db.data(), db.size()));
    size_t peak = 0;
    for (size_t i = 1; i < db.size(); ++i)
        if (db[i] > db[peak]) peak = i;
    const double f_peak = (double(peak) - kNfft / 2.0) * fs / kNfft;
    std::printf("Welch PSD (C++): %zu bins, peak at %.1f Hz, %.2f dBFS\n", db.size(), f_peak,
                db[peak]);
    return db.size() == kNfft && tone_ok(f_peak, db[peak], f0, fs / kNfft);
}

// A constructor given an invalid order and a blob of another object both throw ostrel::error.
bool errors_are_exceptions() {
    bool ctor = false, blob = false;
    try {
        ostrel::create(mpsk_receiver_create, "mpsk_receiver_create", 3, 0, 1, SPAN, 1, 0, SPS, 0.35,
                       0.02, 0.0, 0.01, 0.0, 0.0, 0.0, 1);
    } catch (const ostrel::error &e) {
        ctor = std::string(e.what()).rfind("mpsk_receiver_create(3, 0, 1, ", 0) == 0;
    }
    try {
        auto rx = make_receiver();
        rx.set_state(std::vector<uint8_t>(rx.get_state().size(), 0));
    } catch (const ostrel::error &e) {
        blob = std::string(e.what()).find("blob refused") != std::string::npos;
    }
    std::printf("Errors (C++): refused constructor %s, refused blob %s\n",
                ctor ? "throws" : "DOES NOT THROW", blob ? "throws" : "DOES NOT THROW");
    return ctor && blob;
}

}  // namespace

int main() {
    const bool ok = qpsk_ber() & welch_tone() & errors_are_exceptions();
    if (!ok) std::fprintf(stderr, "FAILED\n");
    return ok ? 0 : 1;
}
