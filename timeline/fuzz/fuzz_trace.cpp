// The libFuzzer target: any bytes, as one or several traces, through the
// whole tool. Built and run by timeline/fuzz/run.
#include <cstdio>
#include <cstdlib>

#include "fuzz/exercise.hpp"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size)
{
    std::string problem = timeline::fuzz::exercise({reinterpret_cast<const char*>(data), size});
    if (!problem.empty()) {
        (void)std::fprintf(stderr, "%s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
