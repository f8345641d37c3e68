// Every program needs the C library alone at run time: no libstdc++, no
// libm, no libgcc_s. (A sanitizer build links its runtime statically, and
// the compiler adds libm to that runtime's link line.)
#include <gtest/gtest.h>

#include <regex>

#include "harness.hpp"

using namespace harness;

TEST(Build, EveryProgramLinksOnlyLibc)
{
    auto programs = all_programs();
    ASSERT_FALSE(programs.empty());
    for (const auto& program : programs) {
        TempDir dir;
        Process readelf({.argv = {"/usr/bin/readelf", "-d", program}, .dir = dir.path()});
        ASSERT_TRUE(readelf.finish());
        ASSERT_EQ(readelf.exit_code(), 0) << readelf.err();

        std::vector<std::string> needed;
        static const std::regex entry(R"(\(NEEDED\)\s+Shared library: \[([^\]]+)\])");
        const std::string& text = readelf.out();
        for (std::sregex_iterator m(text.begin(), text.end(), entry), end; m != end; ++m)
            needed.push_back((*m)[1]);
#ifdef SANITIZED_BUILD
        std::erase(needed, "libm.so.6");
#endif
        EXPECT_EQ(needed, std::vector<std::string>{"libc.so.6"}) << program;
    }
}
