// Runs a fuzz target over its stored corpus without the fuzzing engine, so that every regular
// test run re-checks the inputs that once mattered, under the project's own compiler and
// sanitizers. Arguments: files or directories (read one level deep).

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool replay(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    const std::vector<char> content((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    // An allocation of exactly the input's size, so a read past its end is caught.
    std::unique_ptr<uint8_t[]> exact(new uint8_t[content.size()]);
    std::copy(content.begin(), content.end(), exact.get());
    LLVMFuzzerTestOneInput(exact.get(), content.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::filesystem::path> inputs;
    for (int k = 1; k < argc; ++k) {
        const std::filesystem::path arg(argv[k]);
        if (std::filesystem::is_directory(arg)) {
            for (const auto& entry : std::filesystem::directory_iterator(arg)) {
                if (entry.is_regular_file()) {
                    inputs.push_back(entry.path());
                }
            }
        } else {
            inputs.push_back(arg);
        }
    }
    std::sort(inputs.begin(), inputs.end());
    size_t replayed = 0;
    for (const auto& input : inputs) {
        if (!replay(input)) {
            return 1;
        }
        ++replayed;
    }
    std::printf("replayed %zu inputs\n", replayed);
    // An empty corpus would make this test pass without checking anything.
    return replayed == 0 ? 1 : 0;
}
