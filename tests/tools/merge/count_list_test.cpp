#include "tools/merge/count_list.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "tools/merge/merge_record.h"
#include "tools/merge/rebuilt_keys.h"

namespace {

std::string written(const count_list& list)
{
    std::string out;
    list.append_written(out);
    return out;
}

count_list parsed(const std::string& text)
{
    count_list list;
    list.parse(text.data(), text.size());
    return list;
}

TEST(CountList, ParseTakesOnlyPairsAndKeepsTheirOrder)
{
    struct row {
        std::string text;
        std::string written;
    } rows[] = {
        {"  3=1   4=2 x 5= =6 ", "|3=1 4=2 0=6"},
        {"7=x", "|7=0"},
        {"=5", "|0=5"},
        {"1=1\t2=2", "|1=1"},  // a tab does not separate: one item
        {"5=\t", "|5=0"},       // a count of blanks is 0, not the next item's id
        {"5=\t 9=1", "|5=0 9=1"},
        {"2=1 2=3", "|2=1 2=3"},  // ids need not be unique
        {"01=007 -3=+4", "|1=7 -3=4"},
        {"99999999999=99999999999 -99999999999=1", "|2147483647=2147483647 -2147483648=1"},
        {"", ""},
        {"   ", ""},
        {"x = y", ""},
    };
    for (const row& r : rows) {
        EXPECT_EQ(written(parsed(r.text)), r.written) << "'" << r.text << "'";
    }
}

TEST(CountList, AddKeepsNewIdsInFrontInReverseOrder)
{
    struct row {
        std::string into;
        std::string from;
        std::string written;
    } rows[] = {
        {"5=1 7=2", "7=3 9=1", "|9=1 5=1 7=5"},
        {"1=4", "1=1 2=2", "|2=2 1=5"},
        {"", "1=1 2=2 3=3", "|3=3 2=2 1=1"},
        {"2=1 2=3", "2=10", "|2=11 2=3"},  // the first pair from the head takes it
        {"1=1", "4=1 4=2", "|4=3 1=1"},     // a pair added in the same call is found again
        {"1=1", "", "|1=1"},
    };
    for (const row& r : rows) {
        count_list into = parsed(r.into);
        into.add(parsed(r.from));
        EXPECT_EQ(written(into), r.written) << r.into << " + " << r.from;
    }
}

TEST(CountList, CountsSumInSixtyFourBitsAndAreWrittenClamped)
{
    count_list into = parsed("1=2147483647 2=2000000000 3=-2147483648");
    into.add(parsed("1=1 2=2000000000 3=-5"));
    EXPECT_EQ(written(into), "|1=2147483647 2=2147483647 3=-2147483648");
    into.add(parsed("2=-2000000000"));
    EXPECT_EQ(written(into), "|1=2147483647 2=2000000000 3=-2147483648");

    EXPECT_EQ(count_add_saturated(INT64_MAX, 1), INT64_MAX);
    EXPECT_EQ(count_add_saturated(INT64_MIN, -1), INT64_MIN);
}

// The plain reading of head insertion: search from the head, new ids go in
// front. Long lists take the indexed path and must agree with it.
std::vector<count_pair> naive_add(std::vector<count_pair> into, const std::vector<count_pair>& from)
{
    for (const count_pair& p : from) {
        bool found = false;
        for (count_pair& q : into) {
            if (q.id == p.id) {
                q.count += p.count;
                found = true;
                break;
            }
        }
        if (!found) {
            into.insert(into.begin(), p);
        }
    }
    return into;
}

std::string text_of(const std::vector<count_pair>& pairs)
{
    std::string text;
    for (const count_pair& p : pairs) {
        text += (text.empty() ? "" : " ") + std::to_string(p.id) + "=" + std::to_string(p.count);
    }
    return text;
}

TEST(CountList, LongListsAgreeWithPlainHeadInsertion)
{
    std::mt19937 rng(16);
    for (int round = 0; round < 200; ++round) {
        int id_range = 1 + static_cast<int>(rng() % 300);
        auto random_pairs = [&](size_t n) {
            std::vector<count_pair> pairs;
            for (size_t i = 0; i < n; ++i) {
                pairs.push_back({static_cast<int32_t>(rng() % id_range), static_cast<int64_t>(rng() % 100)});
            }
            return pairs;
        };
        std::vector<count_pair> model = random_pairs(rng() % 60);
        count_list list = parsed(text_of(model));
        for (int step = 0; step < 4; ++step) {
            std::vector<count_pair> from = random_pairs(rng() % 80);
            model = naive_add(model, from);
            list.add(parsed(text_of(from)));
            ASSERT_EQ(written(list), text_of(model).empty() ? "" : "|" + text_of(model)) << "round " << round;
        }
    }
}

TEST(CountRecord, EmptyListIsWrittenSoItReadsBackAsTheSameKey)
{
    struct row {
        std::string key;
        std::string written;
    } rows[] = {
        {"a|b", "a|b|\n"},
        {"plain", "plain\n"},
        {"", "\n"},
        {"x=1", "x=1|\n"},  // alone it would read back as the pair 0=1
        {"x=", "x=\n"},
    };
    for (const row& r : rows) {
        count_record rec{r.key, {}};
        std::string out;
        count_kind::append_written(out, rec);
        EXPECT_EQ(out, r.written);
        // Read back: the same key and no pairs.
        count_record back;
        record_from_line<count_kind>(back, {out.data(), out.size() - 1});
        EXPECT_EQ(back.key, r.key);
        EXPECT_TRUE(back.counts.empty()) << r.key;
    }
}

}  // namespace

namespace {

// What a key gathers over a run, applied once, ends as merging every record
// in turn would: into a new line (the first record copied, the rest added)
// and into a line the dataset already holds (every record added).
TEST(RebuiltKeyRecords, GatheredListsEqualMergingEachRecordInTurn)
{
    std::mt19937 rng(5);
    auto random_list = [&]() {
        std::string text;
        for (size_t n = rng() % 25; n > 0; --n) {
            text += std::to_string(rng() % 12) + "=" + std::to_string(rng() % 5) + " ";
        }
        return parsed(text);
    };
    for (int round = 0; round < 300; ++round) {
        std::vector<count_list> records(1 + rng() % 6);
        for (count_list& r : records) {
            r = random_list();
        }
        const count_list held = random_list();

        count_list new_line_in_turn, held_in_turn;
        new_line_in_turn.assign(records[0]);
        held_in_turn.assign(held);
        held_in_turn.add(records[0]);
        rebuilt_key_records gathered;
        gathered.add("k", records[0]);
        for (size_t i = 1; i < records.size(); ++i) {
            new_line_in_turn.add(records[i]);
            held_in_turn.add(records[i]);
            gathered.add("k", records[i]);
        }
        gathered.drain([&](const std::string& key, const rebuilt_key_records::gathered& g) {
            EXPECT_EQ(key, "k");
            count_list fresh, existing;
            g.start(fresh);
            existing.assign(held);
            g.add_to(existing);
            EXPECT_EQ(written(fresh), written(new_line_in_turn)) << "round " << round;
            EXPECT_EQ(written(existing), written(held_in_turn)) << "round " << round;
        });
    }
}

}  // namespace
