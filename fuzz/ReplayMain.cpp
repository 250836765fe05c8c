// Replays a fuzz target's corpus as an ordinary test: every file below the
// folders named on the command line goes through the target once, so the
// inputs the fuzzer found run in every build, the sanitizer build included.
// A broken invariant aborts, which fails the test.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size);
extern "C" int LLVMFuzzerInitialize(int* Argc, char*** Argv) __attribute__((weak));

int main(int Argc, char** Argv)
{
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&Argc, &Argv);
    int Inputs = 0;
    for (int I = 1; I < Argc; ++I) {
        for (const auto& Entry : std::filesystem::recursive_directory_iterator(Argv[I])) {
            if (!Entry.is_regular_file())
                continue;
            std::ifstream File(Entry.path(), std::ios::binary);
            const std::vector<char> Bytes((std::istreambuf_iterator<char>(File)), std::istreambuf_iterator<char>());
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(Bytes.data()), Bytes.size());
            ++Inputs;
        }
    }
    std::printf("%d inputs replayed\n", Inputs);
    return Inputs > 0 ? 0 : 1;
}
