// Runs a fuzz target without libFuzzer: on a number of pseudo-random inputs of pseudo-random
// lengths, or on the files named on the command line. Built without sanitizers, so that the
// same calls can run under valgrind's memcheck.
// Usage: replay_<target> COUNT | replay_<target> FILE...
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s COUNT | FILE...\n", argv[0]);
        return 2;
    }
    char* end = nullptr;
    const long count = std::strtol(argv[1], &end, 10);
    if (argc == 2 && *end == '\0') {
        std::mt19937 rng(20261208);
        for (long k = 0; k < count; ++k) {
            std::vector<uint8_t> input(rng() % 1024);
            for (auto& byte : input) {
                byte = static_cast<uint8_t>(rng());
            }
            LLVMFuzzerTestOneInput(input.data(), input.size());
        }
        std::printf("%ld inputs replayed\n", count);
        return 0;
    }
    for (int k = 1; k < argc; ++k) {
        std::ifstream file(argv[k], std::ios::binary);
        const std::vector<uint8_t> input((std::istreambuf_iterator<char>(file)),
                                         std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    return 0;
}
