// Helpers for the rule tests: a collector context with a log to read back,
// entries built by hand, and a walk over the chains a name finds, as the
// record callbacks do it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "collector/alerts/alert_rule.h"
#include "collector/alerts/pattern_index.h"
#include "collector/core/config.h"
#include "collector/core/context.h"
#include "collector/core/log.h"
#include "collector/run/context_setup.h"
#include "tests/collector/alerts/alert_test_support.h"
#include "toolkit/text.h"

namespace rule_test {

// An entry list from its "key:value" words, as the configuration reader
// makes it.
inline conf_ptr entry(const std::string& words)
{
    return conf_ptr(opts_parse(words.c_str()));
}

// Every value the index holds for patterns fitting `name`, in match order.
inline std::vector<alert_rule*> heads_fitting(const pattern_index* index, const std::string& name)
{
    std::vector<void*> out(4096);
    int32_t n = pattern_index_match(index, name.c_str(), out.data(), static_cast<int32_t>(out.size()));
    EXPECT_LE(n, static_cast<int32_t>(out.size()));
    std::vector<alert_rule*> heads;
    for (int32_t i = 0; i < std::min<int32_t>(n, static_cast<int32_t>(out.size())); ++i) {
        heads.push_back(static_cast<alert_rule*>(out[static_cast<size_t>(i)]));
    }
    return heads;
}

inline const char* pattern_of(const alert_rule* rule)
{
    return *static_cast<char* const*>(rule->param);
}

inline bool folded_equal(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (ascii_lower(static_cast<unsigned char>(a[i])) != ascii_lower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// A context of its own per test, with its log in a temporary folder. Watch
// chains are not owned by the context, so the fixture frees every chain a
// test has looked at (and leak checking flags any it has not).
class RuleTest : public testing::Test {
protected:
    temp_dir dir;
    std::string log_path = dir.file("h.log");
    collector_ctx* ctx = nullptr;
    method_rec method{nullptr, 3, 2, nullptr, nullptr};

    void SetUp() override
    {
        log_open(log_path.c_str());
        ctx = collector_new();
    }
    void TearDown() override
    {
        for (alert_rule* head : seen_) rule_list_free(head);
        collector_free(ctx);
        log_close_for_tests();
    }

    std::vector<std::string> log() const { return alert_test::log_messages(log_path); }

    // The rules chained under `pattern` (the same pattern once case is
    // folded), head first; empty when the pattern was never filed.
    std::vector<alert_rule*> chain(const pattern_index* index, const std::string& pattern)
    {
        std::vector<alert_rule*> rules;
        for (alert_rule* head : heads_fitting(index, pattern)) {
            if (!folded_equal(pattern_of(head), pattern)) continue;
            if (std::find(seen_.begin(), seen_.end(), head) == seen_.end()) seen_.push_back(head);
            for (alert_rule* r = head; r != nullptr; r = r->next) rules.push_back(r);
            break;
        }
        return rules;
    }

    // The alert ids of a chain, for comparing its order.
    std::vector<int32_t> chain_ids(const pattern_index* index, const std::string& pattern)
    {
        std::vector<int32_t> ids;
        for (const alert_rule* r : chain(index, pattern)) ids.push_back(r->id);
        return ids;
    }

    // What an event keyed by `name` raises: every chain it fits, each from
    // its head, rules of other nodes skipped, as the record callbacks walk.
    std::vector<std::string> raise(const pattern_index* index, const std::string& name, alert_check alert_rule::*slot,
                                   method_rec* m, ip_info* ip, void* record, const event_time* when)
    {
        std::vector<std::string> texts;
        for (alert_rule* head : heads_fitting(index, name)) {
            chain(index, pattern_of(head));  // owned for release
            for (alert_rule* r = head; r != nullptr; r = r->next) {
                if (r->*slot == nullptr || (r->node_id != 0 && r->node_id != m->node_id)) continue;
                char* text = (r->*slot)(ctx, m, r, ip, record, when);
                if (text != nullptr) {
                    texts.emplace_back(text);
                    free(text);
                }
            }
        }
        return texts;
    }

private:
    std::vector<alert_rule*> seen_;
};

}  // namespace rule_test
