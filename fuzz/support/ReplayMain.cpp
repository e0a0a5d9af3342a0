// Runs a fuzz target over the files of its corpus once each, so that an ordinary (gcc, sanitizer
// or not) build checks every seed and every kept crash input as a test. A missing or empty corpus
// fails: a replay that ran nothing proves nothing.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool replay(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", file.c_str());
        return false;
    }
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // A copy of exactly the input's size, so that a read past its end trips the sanitizer as it
    // would under the fuzzer.
    std::vector<uint8_t> exact(bytes);
    exact.shrink_to_fit();
    static const uint8_t none = 0;
    LLVMFuzzerTestOneInput(exact.empty() ? &none : exact.data(), exact.size());
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::filesystem::path> files;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path path(argv[i]);
        std::error_code error;
        if (std::filesystem::is_directory(path, error)) {
            for (const auto& entry : std::filesystem::recursive_directory_iterator(path))
                if (entry.is_regular_file())
                    files.push_back(entry.path());
        } else if (std::filesystem::is_regular_file(path, error)) {
            files.push_back(path);
        } else {
            std::fprintf(stderr, "no such corpus: %s\n", argv[i]);
            return 1;
        }
    }
    if (files.empty()) {
        std::fprintf(stderr, "no inputs to replay\n");
        return 1;
    }
    std::sort(files.begin(), files.end());
    size_t done = 0;
    for (const auto& file : files) {
        if (!replay(file))
            return 1;
        ++done;
    }
    // The empty input is always worth one run: every parser must take it.
    static const uint8_t none = 0;
    LLVMFuzzerTestOneInput(&none, 0);
    std::printf("%zu inputs replayed\n", done);
    return 0;
}
