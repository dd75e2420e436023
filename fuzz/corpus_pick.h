// Choosing, from a long campaign's corpus, the few inputs worth checking in beside the
// seeds, so that a short run (CI's) starts from most of what the campaign reached.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <vector>

namespace vm::fuzz {

struct CorpusInput {
    std::string path;
    size_t size = 0;
    std::vector<uint64_t> features;  // every feature the input reaches, not only its new ones
};

// What a set-cover merge (-set_cover_merge=1 -merge_control_file=F) leaves in its control
// file: the files of every corpus, the first corpus's files first, each with its features.
struct MergeControl {
    std::vector<CorpusInput> inputs;
    size_t firstCorpus = 0;  // inputs[0, firstCorpus) are the first corpus (the seeds)
};

// Nullopt, with `error` set, on a file that is not such a control file.
std::optional<MergeControl> parseMergeControl(std::istream& in, std::string* error);

// Greedy choice among inputs[firstCorpus, …): each step takes the input whose features
// not yet reached (by the seeds or earlier picks) are the most per byte, counting every
// input as `perInputBytes` larger than it is so that a few rich inputs win over many
// tiny ones. Stops when no input adds a feature or none fits in what is left of
// `byteBudget`. Returns indices into inputs, in the order picked.
std::vector<size_t> pickInputs(const MergeControl& control, size_t byteBudget, size_t perInputBytes = 256);

// How many distinct features the seeds and the given picks reach together.
size_t featuresReached(const MergeControl& control, const std::vector<size_t>& picks);

}  // namespace vm::fuzz
