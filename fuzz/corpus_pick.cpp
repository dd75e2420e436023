#include "fuzz/corpus_pick.h"

#include <queue>
#include <sstream>
#include <unordered_set>

#include "base/text.h"

namespace vm::fuzz {

namespace {

// The features the seeds and the given inputs reach together.
std::unordered_set<uint64_t> reachedBy(const MergeControl& control, const std::vector<size_t>& picks) {
    std::unordered_set<uint64_t> reached;
    auto add = [&](size_t i) { reached.insert(control.inputs[i].features.begin(), control.inputs[i].features.end()); };
    for (size_t i = 0; i < control.firstCorpus; ++i) add(i);
    for (size_t i : picks) add(i);
    return reached;
}

}  // namespace

std::optional<MergeControl> parseMergeControl(std::istream& in, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return std::nullopt;
    };
    std::string line;
    MergeControl control;
    std::optional<size_t> files, first;
    if (!std::getline(in, line) || !(files = parseInt<size_t>(line))) return fail("no file count on the first line");
    if (!std::getline(in, line) || !(first = parseInt<size_t>(line)) || *first > *files)
        return fail("no first-corpus count on the second line");
    control.firstCorpus = *first;
    control.inputs.resize(*files);
    for (size_t i = 0; i < *files; ++i) {
        if (!std::getline(in, control.inputs[i].path)) return fail("the file list ends early");
    }
    // Then, per file run: "STARTED i size", and "FT i f…" / "COV i e…" once it has run.
    // A file whose run was cut short has no FT line and so no features.
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string kind;
        size_t index = 0;
        if (!(words >> kind >> index)) continue;
        if (index >= *files) return fail("line names file " + std::to_string(index) + " of " + std::to_string(*files));
        CorpusInput& input = control.inputs[index];
        if (kind == "STARTED") {
            words >> input.size;
        } else if (kind == "FT") {
            input.features.clear();
            for (uint64_t f; words >> f;) input.features.push_back(f);
        }
    }
    return control;
}

std::vector<size_t> pickInputs(const MergeControl& control, size_t byteBudget, size_t perInputBytes) {
    std::unordered_set<uint64_t> reached = reachedBy(control, {});

    auto gain = [&](size_t i) {
        size_t n = 0;
        for (uint64_t f : control.inputs[i].features) n += reached.count(f) == 0;
        return n;
    };
    auto score = [&](size_t i, size_t g) {
        return static_cast<double>(g) / static_cast<double>(control.inputs[i].size + perInputBytes);
    };

    // Lazy greedy: an input's score only falls as others are picked, so a stale score is
    // an upper bound, and the top of the queue is the best once its score is fresh.
    using Entry = std::pair<double, size_t>;
    auto worse = [](const Entry& a, const Entry& b) {
        return a.first != b.first ? a.first < b.first : a.second > b.second;  // ties: the earlier file
    };
    std::priority_queue<Entry, std::vector<Entry>, decltype(worse)> queue(worse);
    for (size_t i = control.firstCorpus; i < control.inputs.size(); ++i) {
        size_t g = gain(i);
        if (g > 0) queue.push({score(i, g), i});
    }

    std::vector<size_t> picks;
    size_t left = byteBudget;
    while (!queue.empty()) {
        auto [stale, i] = queue.top();
        queue.pop();
        if (control.inputs[i].size > left) continue;
        size_t g = gain(i);
        if (g == 0) continue;
        double fresh = score(i, g);
        if (!queue.empty() && fresh < queue.top().first) {
            queue.push({fresh, i});
            continue;
        }
        picks.push_back(i);
        left -= control.inputs[i].size;
        reached.insert(control.inputs[i].features.begin(), control.inputs[i].features.end());
    }
    return picks;
}

size_t featuresReached(const MergeControl& control, const std::vector<size_t>& picks) {
    return reachedBy(control, picks).size();
}

}  // namespace vm::fuzz
