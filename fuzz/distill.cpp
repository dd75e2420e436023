// Adds to a target's checked-in seeds the campaign inputs that reach the most of what
// the seeds do not, within a byte budget (see corpus_pick.h). scripts/fuzz.sh distill
// runs it after a set-cover merge of the seeds (first corpus) and the campaign corpus:
//   fuzz_distill CONTROL_FILE OUT_DIR BYTES
// Each pick is written as OUT_DIR/found-<hash of its bytes>, so running it again adds
// nothing twice.
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>

#include "base/text.h"
#include "fuzz/corpus_pick.h"

namespace fs = std::filesystem;
using namespace vm::fuzz;

namespace {

// FNV-1a: a stable name for the same bytes on every machine.
std::string contentName(const std::string& bytes) {
    uint64_t h = 14695981039346656037ull;
    for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ull;
    char name[32];
    std::snprintf(name, sizeof name, "found-%016" PRIx64, h);
    return name;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: fuzz_distill CONTROL_FILE OUT_DIR BYTES\n";
        return 2;
    }
    const std::string controlPath = argv[1];
    const fs::path out = argv[2];
    const auto budget = vm::parseInt<size_t>(argv[3]);
    if (!budget) {
        std::cerr << "fuzz_distill: BYTES must be a whole number of bytes, not " << argv[3] << "\n";
        return 2;
    }

    std::ifstream in(controlPath);
    if (!in) {
        std::cerr << "fuzz_distill: cannot read " << controlPath << "\n";
        return 1;
    }
    std::string error;
    auto control = parseMergeControl(in, &error);
    if (!control) {
        std::cerr << "fuzz_distill: " << controlPath << ": " << error << "\n";
        return 1;
    }

    auto picks = pickInputs(*control, *budget);
    std::error_code ec;
    fs::create_directories(out, ec);
    size_t bytes = 0, written = 0;
    for (size_t i : picks) {
        std::ifstream file(control->inputs[i].path, std::ios::binary);
        if (!file) {
            std::cerr << "fuzz_distill: cannot read " << control->inputs[i].path << "\n";
            return 1;
        }
        std::string data((std::istreambuf_iterator<char>(file)), {});
        fs::path target = out / contentName(data);
        if (fs::exists(target)) continue;
        std::ofstream(target, std::ios::binary | std::ios::trunc) << data;
        bytes += data.size();
        ++written;
    }
    std::vector<size_t> everything;
    for (size_t i = control->firstCorpus; i < control->inputs.size(); ++i) everything.push_back(i);
    std::cout << "the checked-in inputs reach " << featuresReached(*control, {}) << " features; with the " << written
              << " inputs added (" << bytes << " bytes), " << featuresReached(*control, picks) << " of the corpus's "
              << featuresReached(*control, everything) << "\n";
    return 0;
}
