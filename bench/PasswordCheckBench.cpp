// The login-password check through PAM: in the helper process the program uses, beside the same
// PAM conversation run in this process, so the price of the helper shows. Runs under pam_wrapper
// with pam_matrix (scripts/bench password sets it up).
//   tolva-bench-password TOLVA_SCREEN [benchmark options]
#include "platform/pam/LoginPasswordCheck.h"
#include "platform/pam/PamLoginPasswordVerifier.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>

using namespace tolva;

namespace {

const char* password = "correct horse 42";
std::string program;

void HelperProcess(benchmark::State& state) {
    PamLoginPasswordVerifier::Options options;
    options.helper = {program, std::string(LoginPasswordCheck::helperArgument)};
    options.serviceDirs = PamLoginPasswordVerifier::serviceDirsFromEnvironment();
    PamLoginPasswordVerifier verifier(options);
    for (auto _ : state) {
        std::string text = password;
        if (!verifier.verify(text))
            state.SkipWithError("the helper rejected the right password");
    }
}

void InProcess(benchmark::State& state) {
    const std::string user = LoginPasswordCheck::currentUserName();
    for (auto _ : state) {
        std::string text = password;
        if (LoginPasswordCheck::authenticate("tolva-screen", user, text) != 0)
            state.SkipWithError("PAM rejected the right password");
    }
}

BENCHMARK(HelperProcess)->Unit(benchmark::kMillisecond);
BENCHMARK(InProcess)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    // pam_wrapper reads its service folder when it is loaded: the files must be there before
    // this process starts (scripts/bench password writes them).
    const char* services = std::getenv("PAM_WRAPPER_SERVICE_DIR");
    if (argc < 2 || services == nullptr ||
        !std::filesystem::exists(std::filesystem::path(services) / "tolva-screen")) {
        std::cerr << "usage: LD_PRELOAD=libpam_wrapper.so PAM_WRAPPER=1 PAM_WRAPPER_SERVICE_DIR=DIR "
                     "tolva-bench-password TOLVA_SCREEN [options]\n"
                     "DIR/tolva-screen: pam_matrix with a password file granting the current user \""
                  << password << "\"\n";
        return 2;
    }
    program = argv[1];
    argv[1] = argv[0];
    int rest = argc - 1;
    benchmark::Initialize(&rest, argv + 1);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
