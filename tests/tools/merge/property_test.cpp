// Random sorted report files merged into random datasets, checked line for
// line against a plain in-memory model of the merge: a map from key to its
// pairs (summed, new ids in front) or to its greatest value.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/process.h"
#include "tests/tools/merge/merge_support.h"

namespace {

using pairs = std::vector<std::pair<int32_t, int64_t>>;

struct report_line {
    std::string key;
    pairs counts;
    int32_t value = 0;
};

class generator {
public:
    // With `stem`, half the keys start with it: keys as long as the part the
    // pick compares first, and longer ones that differ only after it.
    explicit generator(unsigned seed, std::string stem = "") : rng_(seed), stem_(std::move(stem)) {}

    size_t below(size_t n) { return n == 0 ? 0 : rng_() % n; }

    // Short keys over a tiny alphabet, so that equal keys, prefixes and
    // empty fields come up often.
    std::string key()
    {
        static const char alphabet[] = "ab|";
        std::string k = !stem_.empty() && below(2) == 0 ? stem_ : "";
        for (size_t n = below(5); n > 0; --n) {
            k.push_back(alphabet[below(3)]);
        }
        return k;
    }

    pairs counts()
    {
        pairs p;
        for (size_t n = below(below(4) == 0 ? 40 : 4); n > 0; --n) {
            int64_t count = below(20) == 0 ? 2000000000 : static_cast<int64_t>(below(9));
            p.push_back({static_cast<int32_t>(below(30)), count});
        }
        return p;
    }

    int32_t value() { return static_cast<int32_t>(below(2001)) - 1000; }

    std::vector<report_line> lines(size_t max, bool unique)
    {
        std::vector<report_line> out;
        for (size_t n = below(max); n > 0; --n) {
            out.push_back({key(), counts(), value()});
        }
        std::stable_sort(out.begin(), out.end(), [](auto& a, auto& b) { return a.key < b.key; });
        if (unique) {
            out.erase(std::unique(out.begin(), out.end(), [](auto& a, auto& b) { return a.key == b.key; }),
                      out.end());
        }
        return out;
    }

private:
    std::mt19937 rng_;
    std::string stem_;
};

std::string written_counts(const std::string& key, const pairs& p)
{
    std::string line = key;
    if (p.empty()) {
        // No '=' comes up in these keys, so only a '|' needs the separator.
        if (key.find('|') != std::string::npos) {
            line += '|';
        }
        return line + "\n";
    }
    char sep = '|';
    for (auto& [id, count] : p) {
        int64_t clamped = std::min<int64_t>(count, std::numeric_limits<int32_t>::max());
        line += sep + std::to_string(id) + "=" + std::to_string(clamped);
        sep = ' ';
    }
    return line + "\n";
}

void add_into(pairs& into, const pairs& from)
{
    for (auto& p : from) {
        auto it = std::find_if(into.begin(), into.end(), [&](auto& q) { return q.first == p.first; });
        if (it != into.end()) {
            it->second += p.second;
        } else {
            into.insert(into.begin(), p);
        }
    }
}

std::string rebuilt(const std::string& key, size_t column, const std::string& text)
{
    std::vector<std::string> fields{""};
    for (char c : key) {
        if (c == '|') {
            fields.emplace_back();
        } else {
            fields.back().push_back(c);
        }
    }
    if (column < fields.size()) {
        fields[column] = text;
    }
    std::string out;
    for (size_t i = 0; i < fields.size(); ++i) {
        out += (i ? "|" : "") + fields[i];
    }
    return out;
}

enum class tool { top, count, last };

// Up to `max_files` - 1 report files; `stem` as for the generator.
void run_round(unsigned seed, tool which, size_t max_files = 4, const std::string& stem = "")
{
    generator gen(seed, stem);
    temp_dir dir;
    const bool values = which == tool::last;
    auto text_of = [&](const report_line& l) {
        return values ? l.key + "|" + std::to_string(l.value) + "\n" : written_counts(l.key, l.counts);
    };

    // Report files, and every record in the order the pick delivers them.
    std::string file_list;
    std::vector<report_line> picked;
    for (size_t f = 0, n = gen.below(max_files); f < n; ++f) {
        std::vector<report_line> lines = gen.lines(30, false);
        std::string text;
        for (auto& l : lines) {
            text += text_of(l);
        }
        std::string name = "r" + std::to_string(f);
        write_file(dir.file(name), text);
        file_list += name + "\n";
        picked.insert(picked.end(), lines.begin(), lines.end());
    }
    std::stable_sort(picked.begin(), picked.end(), [](auto& a, auto& b) { return a.key < b.key; });

    size_t column = gen.below(3);
    std::string dataset_list;
    std::vector<std::string> names, expected;
    for (size_t d = 0, n = 1 + gen.below(3); d < n; ++d) {
        std::string ctime = which == tool::count && gen.below(2) ? std::to_string(1 + gen.below(9)) : "";
        std::map<std::string, report_line> model;
        std::string text;
        for (auto& l : gen.lines(25, true)) {
            text += text_of(l);
            model[l.key] = l;
        }
        for (const report_line& r : picked) {
            std::string key = ctime.empty() ? r.key : rebuilt(r.key, column, ctime);
            auto it = model.find(key);
            if (it == model.end()) {
                report_line fresh = r;
                fresh.key = key;
                model.emplace(key, fresh);
            } else if (values) {
                it->second.value = std::max(it->second.value, r.value);
            } else {
                add_into(it->second.counts, r.counts);
            }
        }
        std::string want;
        for (auto& [key, l] : model) {
            want += text_of(l);
        }
        std::string name = "d" + std::to_string(d);
        write_file(dir.file(name), text);
        dataset_list += (ctime.empty() ? "" : ctime + "=") + name + "\n";
        names.push_back(name);
        expected.push_back(want);
    }
    write_file(dir.file("files"), file_list);
    write_file(dir.file("datasets"), dataset_list);

    std::vector<std::string> args{"files", "datasets"};
    if (which == tool::count) {
        args.push_back(std::to_string(column + 1));
    }
    const char* program = which == tool::top ? "peakfuse" : which == tool::count ? "tallyfuse" : "recentfuse";
    process_result res = run_merge(program, args, dir.path());
    ASSERT_EQ(res.status, 0) << program << " seed " << seed << ": " << res.err;
    for (size_t d = 0; d < names.size(); ++d) {
        ASSERT_EQ(read_file(dir.file(names[d])), expected[d])
            << program << " seed " << seed << " dataset " << names[d] << "\nlist:\n" << dataset_list;
        EXPECT_FALSE(file_exists(dir.file(names[d] + ".new")));
        EXPECT_FALSE(file_exists(dir.file(names[d] + ".old")));
    }
}

TEST(MergeProperty, TopDatasetsAgreeWithModel)
{
    for (unsigned seed = 1; seed <= 60; ++seed) {
        run_round(seed, tool::top);
    }
}

// Dozens of report files sharing a few keys: every key comes from many of
// them at once, and the order in which their lists are added shows in the
// written pairs (ids new to a line go in front). With a 16-byte stem, keys
// are told apart only by their bytes after it.
TEST(MergeProperty, ManyReportFilesWithSharedKeysAgreeWithModel)
{
    for (const std::string stem : {"", "0123456789abcdef"}) {
        for (unsigned seed = 1; seed <= 12; ++seed) {
            run_round(seed, tool::top, 70, stem);
            run_round(seed, tool::count, 70, stem);
            run_round(seed, tool::last, 70, stem);
        }
    }
}

TEST(MergeProperty, CountDatasetsWithAndWithoutCtimeAgreeWithModel)
{
    for (unsigned seed = 1; seed <= 60; ++seed) {
        run_round(seed, tool::count);
    }
}

TEST(MergeProperty, LastUsedDatasetsAgreeWithModel)
{
    for (unsigned seed = 1; seed <= 60; ++seed) {
        run_round(seed, tool::last);
    }
}

}  // namespace
