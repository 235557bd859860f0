// Replays stored inputs through a fuzz target's entry point, so every build
// checks the corpora, also where libFuzzer does not exist (gcc, Windows).
// Usage: replay_<target> DIR_OR_FILE...   Every regular file below each
// directory is one input; they run in name order so a failure repeats.
#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace fs = std::filesystem;

namespace {

bool collect(const char *arg, std::vector<fs::path> *out) {
    std::error_code ec;
    fs::path p(arg);
    if (fs::is_regular_file(p, ec)) {
        out->push_back(p);
        return true;
    }
    if (!fs::is_directory(p, ec)) return false;
    for (fs::recursive_directory_iterator it(p, ec), end; !ec && it != end; it.increment(ec))
        if (it->is_regular_file(ec)) out->push_back(it->path());
    return !ec;
}

bool read_all(const fs::path &p, std::vector<uint8_t> *out) {
    std::ifstream in(p, std::ios::binary);
    if (!in) return false;
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

} // namespace

int main(int argc, char **argv) {
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; i++) {
        if (!collect(argv[i], &inputs)) {
            fprintf(stderr, "replay: cannot read %s\n", argv[i]);
            return 2;
        }
    }
    // An empty or misspelt corpus would otherwise pass without checking anything.
    if (inputs.empty()) {
        fprintf(stderr, "replay: no inputs given\n");
        return 2;
    }
    std::sort(inputs.begin(), inputs.end());
    for (const fs::path &p : inputs) {
        std::vector<uint8_t> data;
        if (!read_all(p, &data)) {
            fprintf(stderr, "replay: cannot read %s\n", p.string().c_str());
            return 2;
        }
        // Named before it runs: a target that aborts leaves this as the last line.
        printf("replay: %s (%lu bytes)\n", p.string().c_str(), (unsigned long)data.size());
        fflush(stdout);
        // The input sits in a block of exactly its size (never null, even when
        // empty), as libFuzzer hands it over, so a sanitizer catches a read past its end.
        std::unique_ptr<uint8_t[]> exact = std::make_unique<uint8_t[]>(data.size());
        std::copy(data.begin(), data.end(), exact.get());
        LLVMFuzzerTestOneInput(exact.get(), data.size());
    }
    printf("replay: %lu inputs passed\n", (unsigned long)inputs.size());
    return 0;
}
