// --source-map and --camera-map: the SUBJECT=N entries and their refusals, and the numbers
// sources get in order of first arrival.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "source_numbers.h"

namespace {

using Kor::Bridge::ReadSubjectMap;
using Kor::Bridge::SourceNumbers;
using Map = std::map<std::uint32_t, std::uint32_t>;

TEST(SubjectMap, ReadsEntries) {
    Map map;
    ASSERT_TRUE(ReadSubjectMap("--source-map", {"3=20", "0=1", "65534=200"}, 1, 200, map));
    EXPECT_EQ(map, (Map{{0, 1}, {3, 20}, {65534, 200}}));
    Map none;
    ASSERT_TRUE(ReadSubjectMap("--camera-map", {}, 0, 255, none));
    EXPECT_TRUE(none.empty());
}

TEST(SubjectMap, Refusals) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"3"},
         "--source-map needs SUBJECT=N with SUBJECT from 0 to 65534 and N from 1 to 200, "
         "not '3'"},
        {{"3="}, "not '3='"},
        {{"=3"}, "not '=3'"},
        {{"1=2=3"}, "not '1=2=3'"},
        {{"a=1"}, "not 'a=1'"},
        {{"1=x"}, "not '1=x'"},
        {{" 1=2"}, "not ' 1=2'"},
        {{"-1=2"}, "not '-1=2'"},
        {{"1=0"}, "not '1=0'"},
        {{"1=201"}, "not '1=201'"},
        {{"65535=1"}, "not '65535=1'"},  // the subject of a source that sends none
        {{"99999999999=1"}, "not '99999999999=1'"},
        {{"1=2", "1=3"}, "--source-map: subject 1 given twice"},
        {{"1=2", "4=2"}, "--source-map: 2 given to subjects 1 and 4"},
    };
    for (const auto& [entries, message] : cases) {
        Map map;
        const Kor::Checked read = ReadSubjectMap("--source-map", entries, 1, 200, map);
        EXPECT_FALSE(read) << entries.front();
        EXPECT_NE(read.Message().find(message), std::string::npos)
            << entries.front() << ": " << read.Message();
    }
    Map cameras;
    EXPECT_TRUE(ReadSubjectMap("--camera-map", {"1=0", "2=255"}, 0, 255, cameras));
    EXPECT_FALSE(ReadSubjectMap("--camera-map", {"3=256"}, 0, 255, cameras));
}

// Numbers count up from the first in order of arrival, skipping the pinned ones; the pin of a
// subject goes to the first source with it, a second source with that subject counts up.
TEST(SourceNumbers, CountUpAroundPins) {
    SourceNumbers numbers(1, 200, {{2, 1}, {7, 3}});
    EXPECT_EQ(numbers.Next(1), 2U);  // 1 is pinned to subject 2
    EXPECT_EQ(numbers.Next(2), 1U);
    EXPECT_EQ(numbers.Next(5), 4U);  // 3 is pinned to subject 7
    EXPECT_EQ(numbers.Next(2), 5U);  // another sender with subject 2
    EXPECT_EQ(numbers.Next(7), 3U);
    EXPECT_EQ(numbers.Next(0xFFFF), 6U);

    SourceNumbers few(254, 255, {});
    EXPECT_EQ(few.Next(1), 254U);
    EXPECT_EQ(few.Next(2), 255U);
    EXPECT_EQ(few.Next(3), std::nullopt);
    EXPECT_EQ(few.Next(4), std::nullopt);

    SourceNumbers pinnedEnd(199, 200, {{9, 200}});
    EXPECT_EQ(pinnedEnd.Next(1), 199U);
    EXPECT_EQ(pinnedEnd.Next(2), std::nullopt) << "200 is kept for subject 9";
    EXPECT_EQ(pinnedEnd.Next(9), 200U);
}

}  // namespace
