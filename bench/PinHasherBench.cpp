// The cost of verifying a PIN against a default record, beside the bare OpenSSL PBKDF2 call
// with the same parameters, so the overhead of our code over the primitive shows as a ratio.
#include "TolvaCore/PinHasher.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

namespace {

const tolva::PinRecord& record() {
    static const tolva::PinRecord r = tolva::PinHasher::makeRecord("48291637");
    return r;
}

void PinHasherVerify(benchmark::State& state) {
    const auto& r = record();
    for (auto _ : state)
        benchmark::DoNotOptimize(tolva::PinHasher::verify("48291637", r));
}

void OpenSSLPbkdf2(benchmark::State& state) {
    const auto& r = record();
    unsigned char out[32];
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            PKCS5_PBKDF2_HMAC("48291637", 8, r.salt.data(), static_cast<int>(r.salt.size()),
                              static_cast<int>(r.iterations), EVP_sha256(), sizeof out, out));
        benchmark::ClobberMemory();
    }
}

} // namespace

BENCHMARK(PinHasherVerify)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(OpenSSLPbkdf2)->Unit(benchmark::kMillisecond)->MinTime(2.0);
