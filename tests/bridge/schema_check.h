// Validation of OpenTrackIO samples against the published schema, with Python's jsonschema
// (Debian's /usr/bin/python3). The schema lives beside the repository, in
// ../shared/opentrackio/; without it the check is skipped, with the reason.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace kor_test {

struct SchemaCheck {
    bool skipped = false;
    bool valid = false;
    std::string message;
};

inline SchemaCheck ValidateOpenTrackSamples(const std::vector<nlohmann::ordered_json>& samples) {
    SchemaCheck result;
    const std::string schema = KOR_OPENTRACKIO_SCHEMA;
#ifdef _WIN32
    // The validator is Debian's Python with python3-jsonschema, which a Windows program
    // cannot start; the Linux build checks the same samples.
    result.skipped = true;
    result.message = "the schema check needs Debian's Python, which a Windows program cannot "
                     "start (the Linux build runs it)";
    (void)samples;
    return result;
#endif
    if (!std::ifstream(schema)) {
        result.skipped = true;
        result.message = "the OpenTrackIO schema is not at " + schema +
                         " (the shared folder beside the repository)";
        return result;
    }
    const std::string base = ::testing::TempDir() + "kor-bridge-samples-" +
                             std::to_string(::getpid()) + "-" +
                             ::testing::UnitTest::GetInstance()->current_test_info()->name();
    {
        std::ofstream file(base + ".jsonl");
        for (const auto& sample : samples) {
            file << sample.dump() << '\n';
        }
    }
    const std::string command = "/usr/bin/python3 " KOR_BRIDGE_VALIDATOR " " + schema + " " +
                                base + ".jsonl >" + base + ".out 2>&1";
    const int status = std::system(command.c_str());
    std::ostringstream output;
    output << std::ifstream(base + ".out").rdbuf();
    std::remove((base + ".jsonl").c_str());
    std::remove((base + ".out").c_str());
    result.valid = status == 0;
    result.message = output.str();
    return result;
}

}  // namespace kor_test

// Validates the samples, or skips the test (with the reason) when the schema is missing.
#define KOR_EXPECT_VALID_OPENTRACKIO(samples)                                   \
    do {                                                                        \
        const kor_test::SchemaCheck check = kor_test::ValidateOpenTrackSamples(samples); \
        if (check.skipped) {                                                    \
            GTEST_SKIP() << check.message;                                      \
        }                                                                       \
        EXPECT_TRUE(check.valid) << check.message;                              \
    } while (false)
