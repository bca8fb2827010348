#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "collector/alerts/pattern_index.h"

namespace {

// An index whose values are the pattern texts themselves, so results read
// as the patterns that fitted.
class labelled_index {
public:
    labelled_index() : index_(pattern_index_new()) {}
    ~labelled_index() { pattern_index_free(index_); }
    labelled_index(const labelled_index&) = delete;
    labelled_index& operator=(const labelled_index&) = delete;

    void add(const std::string& pattern)
    {
        labels_.push_back(std::make_unique<std::string>(pattern));
        pattern_index_add(index_, pattern.c_str(), labels_.back().get());
    }

    std::vector<std::string> match(const std::string& name, int32_t capacity = 64, int32_t* total = nullptr) const
    {
        std::vector<void*> out(capacity > 0 ? static_cast<size_t>(capacity) : 1, nullptr);
        int32_t n = pattern_index_match(index_, name.c_str(), out.data(), capacity);
        if (total != nullptr) {
            *total = n;
        }
        std::vector<std::string> got;
        for (int32_t i = 0; i < std::min(n, capacity); ++i) {
            got.push_back(*static_cast<std::string*>(out[static_cast<size_t>(i)]));
        }
        return got;
    }

    pattern_index* get() const { return index_; }

private:
    pattern_index* index_;
    std::vector<std::unique_ptr<std::string>> labels_;
};

using names = std::vector<std::string>;

TEST(PatternIndex, ResultsComeInPatternOrderWhateverTheOrderOfAdding)
{
    const names set = {"ab*", "abc*", "abcd", "abcd*", "*", "*d", "*cd"};
    struct expectation {
        std::string name;
        names fits;
    };
    const std::vector<expectation> cases = {
        {"abcd", {"ab*", "abc*", "abcd", "abcd*", "*", "*d", "*cd"}},
        {"abc", {"ab*", "abc*", "*"}},
        {"", {"*"}},
        {"xcd", {"*", "*d", "*cd"}},
        {"ab", {"ab*", "*"}},
    };
    names order = set;
    std::sort(order.begin(), order.end());
    do {
        labelled_index idx;
        for (const auto& p : order) idx.add(p);
        for (const auto& c : cases) {
            EXPECT_EQ(idx.match(c.name), c.fits) << "name '" << c.name << "'";
        }
    } while (std::next_permutation(order.begin(), order.end()));
}

TEST(PatternIndex, DomainWatchOrderingIsTheSameForEveryOrderOfAdding)
{
    names order = {"a.example.com", "*.a.example.com", "example.com", "*.example.com", "c.example.com",
                   "*.c.example.com"};
    std::sort(order.begin(), order.end());
    do {
        labelled_index idx;
        for (const auto& p : order) idx.add(p);
        EXPECT_EQ(idx.match("x.c.example.com"), (names{"*.example.com", "*.c.example.com"}));
        EXPECT_EQ(idx.match("c.example.com"), (names{"c.example.com", "*.example.com"}));
        EXPECT_EQ(idx.match("example.com"), (names{"example.com"}));
        EXPECT_EQ(idx.match("xexample.com"), names{});
    } while (std::next_permutation(order.begin(), order.end()));
}

TEST(PatternIndex, FormsOfPatterns)
{
    struct fit_case {
        std::string pattern;
        std::string name;
        bool fits;
    };
    const std::vector<fit_case> cases = {
        {"abc*", "abc", true},   {"*abc", "abc", true},     {"abc", "abcd", false},
        {"abc", "ab", false},    {"abc", "abc", true},      {"", "", true},
        {"", "a", false},        {"*", "", true},           {"*", "anything", true},
        {"*abc*", "xabc*", true}, {"*abc*", "xabcd", false}, {"a*c", "a*c", true},
        {"a*c", "abc", false},   {"**", "x*", true},        {"**", "x", false},
    };
    for (const auto& c : cases) {
        labelled_index idx;
        idx.add(c.pattern);
        EXPECT_EQ(idx.match(c.name).size(), c.fits ? 1u : 0u) << "'" << c.pattern << "' vs '" << c.name << "'";
    }
}

TEST(PatternIndex, LetterCaseIsFoldedOnBothSides)
{
    labelled_index idx;
    idx.add("ABC*");
    idx.add("*.Example.COM");
    idx.add("00A0C9112233");
    EXPECT_EQ(idx.match("abcd"), names{"ABC*"});
    EXPECT_EQ(idx.match("AbCd"), names{"ABC*"});
    EXPECT_EQ(idx.match("www.EXAMPLE.com"), names{"*.Example.COM"});
    EXPECT_EQ(idx.match("00a0c9112233"), names{"00A0C9112233"});

    // Only ASCII letters fold: other bytes compare as they are.
    labelled_index bytes;
    bytes.add("\xc4x");
    EXPECT_EQ(bytes.match("\xc4X"), names{"\xc4x"});
    EXPECT_EQ(bytes.match("\xe4x"), names{});

    // Patterns differing only in case are one pattern: the later value wins.
    labelled_index same;
    same.add("Host");
    same.add("hOST");
    EXPECT_EQ(same.match("HOST"), names{"hOST"});
}

TEST(PatternIndex, CapacityLimitsWhatIsStoredNotWhatIsCounted)
{
    labelled_index idx;
    for (const char* p : {"ab*", "abc*", "abcd", "*", "*d"}) idx.add(p);
    int32_t total = 0;
    EXPECT_EQ(idx.match("abcd", 2, &total), (names{"ab*", "abc*"}));
    EXPECT_EQ(total, 5);
    EXPECT_EQ(idx.match("abcd", 5, &total), (names{"ab*", "abc*", "abcd", "*", "*d"}));
    EXPECT_EQ(total, 5);
    // Full forward results leave no room for the reverse ones, which are still counted.
    EXPECT_EQ(idx.match("abcd", 3, &total), (names{"ab*", "abc*", "abcd"}));
    EXPECT_EQ(total, 5);
    EXPECT_EQ(pattern_index_match(idx.get(), "abcd", nullptr, 0), 5);
    EXPECT_EQ(pattern_index_match(idx.get(), "abcd", nullptr, -3), 5);
}

TEST(PatternIndex, AddingTheSamePatternAgainReplacesItsValue)
{
    labelled_index idx;
    idx.add("abc");
    idx.add("abc*");
    int second = 0;
    pattern_index_add(idx.get(), "abc", &second);
    void* out[4] = {};
    ASSERT_EQ(pattern_index_match(idx.get(), "abc", out, 4), 2);
    EXPECT_EQ(out[0], &second);
    EXPECT_EQ(*static_cast<std::string*>(out[1]), "abc*");
}

TEST(PatternIndex, LongPatternsAndNames)
{
    // Longer than any name a record carries: the lookup copy then lives on the heap,
    // and the trie grows deep enough to need its iterative release.
    labelled_index idx;
    std::string base(3000, 'q');
    for (size_t len = 1; len <= base.size(); len += 97) {
        idx.add(base.substr(0, len) + "*");
    }
    idx.add("*" + base.substr(0, 2000));
    names got = idx.match(base);
    ASSERT_EQ(got.size(), 32u);
    EXPECT_EQ(got.front(), "q*");
    EXPECT_EQ(got.back(), "*" + base.substr(0, 2000));
}

// Brute force: the same forms, matched by plain string comparison.
class brute_index {
public:
    void add(const std::string& pattern, int value)
    {
        std::string p = fold(pattern);
        if (!p.empty() && p.front() == '*') {
            std::string fixed = p.substr(1);
            suffix_[fixed] = value;
        } else if (!p.empty() && p.back() == '*') {
            prefix_[p.substr(0, p.size() - 1)] = value;
        } else {
            exact_[p] = value;
        }
    }

    std::vector<int> match(const std::string& raw) const
    {
        std::string name = fold(raw);
        std::vector<int> got;
        for (size_t len = 0; len <= name.size(); ++len) {
            if (len == name.size()) {
                take(exact_, name, &got);
            }
            take(prefix_, name.substr(0, len), &got);
        }
        for (size_t len = 0; len <= name.size(); ++len) {
            take(suffix_, name.substr(name.size() - len), &got);
        }
        return got;
    }

private:
    static std::string fold(std::string s)
    {
        for (char& c : s) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        return s;
    }
    static void take(const std::map<std::string, int>& m, const std::string& key, std::vector<int>* got)
    {
        auto it = m.find(key);
        if (it != m.end()) got->push_back(it->second);
    }
    std::map<std::string, int> exact_, prefix_, suffix_;
};

TEST(PatternIndex, AgreesWithBruteForceOnRandomPatterns)
{
    const uint32_t seed = 20240517;
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    // Few symbols, so texts share long runs of bits; they differ in low and
    // high bits alike, and include a letter pair that folds and the wildcard.
    const std::string alphabet = std::string("abcAB.*") + '\x80' + '\xff' + '\x01';
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<uint32_t>(n)); };
    auto random_text = [&](int max_len) {
        std::string s;
        for (int i = pick(max_len + 1); i > 0; --i) s += alphabet[static_cast<size_t>(pick(static_cast<int>(alphabet.size())))];
        return s;
    };

    for (int round = 0; round < 400; ++round) {
        pattern_index* index = pattern_index_new();
        brute_index brute;
        std::vector<int> values(200);
        std::vector<std::string> patterns;
        int count = 1 + pick(60);
        for (int i = 0; i < count; ++i) {
            std::string fixed = random_text(6);
            std::string p;
            switch (pick(4)) {
            case 0: p = fixed; break;
            case 1: p = fixed + "*"; break;
            case 2: p = "*" + fixed; break;
            default: p = random_text(6); break;  // any text, wildcards wherever they fall
            }
            patterns.push_back(p);
            values[static_cast<size_t>(i)] = i;
            pattern_index_add(index, p.c_str(), &values[static_cast<size_t>(i)]);
            brute.add(p, i);
        }
        std::vector<std::string> lookups;
        for (int i = 0; i < 60; ++i) lookups.push_back(random_text(8));
        for (const auto& p : patterns) {
            // Names built around the patterns, so that most of them fit something.
            std::string bare = p;
            std::replace(bare.begin(), bare.end(), '*', 'a');
            lookups.push_back(p);
            lookups.push_back(bare);
            lookups.push_back(random_text(3) + bare);
            lookups.push_back(bare + random_text(3));
        }
        for (const auto& name : lookups) {
            std::vector<int> want = brute.match(name);
            void* out[256];
            int32_t capacity = pick(3) == 0 ? pick(4) : 256;
            int32_t total = pattern_index_match(index, name.c_str(), out, capacity);
            ASSERT_EQ(total, static_cast<int32_t>(want.size())) << "round " << round << " name '" << name << "'";
            for (int32_t i = 0; i < std::min(total, capacity); ++i) {
                ASSERT_EQ(*static_cast<int*>(out[i]), want[static_cast<size_t>(i)])
                    << "round " << round << " name '" << name << "' result " << i;
            }
        }
        pattern_index_free(index);
    }
}

}  // namespace
