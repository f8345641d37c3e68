// Spanish for one test, in-process (the catalogue beside bin/ in the build
// tree), and English again after it, for the tests that run after it in
// the same process.
#pragma once

#include "base/language.hpp"

struct InSpanish {
    InSpanish() { timeline::choose_language("es"); }
    ~InSpanish() { timeline::choose_language("en"); }
    InSpanish(const InSpanish&) = delete;
    InSpanish& operator=(const InSpanish&) = delete;
};
