// The scenario parser of tarn-vrx-sim on arbitrary files: it either refuses
// with one line "NAME:LINE: ..." naming a line of the file, or gives steps
// that keep every rule the timeline relies on (time order, bounds, values
// in range, no two overlapping steps of one kind, nothing after the end).
#include <cmath>
#include <cstdio>
#include <string>

#include "fuzz_util.h"
#include "sim_scenario.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quiet_streams();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* in, size_t size)
{
    FILE* f = fmemopen(const_cast<uint8_t*>(in), size, "r");
    if (f == nullptr) return 0;  // fmemopen refuses an empty buffer on some libcs
    scenario_t scn;
    std::string err;
    const bool ok = parse_scenario(f, "f", scn, err);
    fclose(f);
    size_t lines = 1;
    for (size_t i = 0; i + 1 < size; i++) lines += in[i] == '\n';
    if (!ok) {
        FUZZ_CHECK(err.rfind("f:", 0) == 0);
        FUZZ_CHECK(err.find('\n') == std::string::npos);
        const long line = strtol(err.c_str() + 2, nullptr, 10);
        FUZZ_CHECK(line >= 1 && static_cast<size_t>(line) <= lines);
        return 0;
    }
    FUZZ_CHECK(scn.steps.size() <= SCENARIO_MAX_STEPS);
    double end = INFINITY;
    for (const scenario_step_t& s : scn.steps)
        if (s.kind == SCN_END) end = s.at;
    for (size_t i = 0; i < scn.steps.size(); i++) {
        const scenario_step_t& s = scn.steps[i];
        FUZZ_CHECK(s.kind >= 0 && s.kind < SCN_KIND_COUNT);
        FUZZ_CHECK(s.line >= 1 && static_cast<size_t>(s.line) <= lines);
        FUZZ_CHECK(std::isfinite(s.at) && s.at >= 0 && s.at <= SCENARIO_MAX_TIME);
        FUZZ_CHECK(std::isfinite(s.dur) && s.dur >= 0 && s.dur <= SCENARIO_MAX_TIME);
        FUZZ_CHECK(std::isfinite(s.value) && std::isfinite(s.period));
        FUZZ_CHECK(s.at <= end);
        if (i > 0) FUZZ_CHECK(scn.steps[i - 1].at <= s.at);
        if (s.kind == SCN_RATE) FUZZ_CHECK(s.value > 0 && s.value <= SCENARIO_MAX_RATE);
        if (s.kind == SCN_LOSS || s.kind == SCN_BAD) FUZZ_CHECK(s.value >= 0 && s.value <= 1);
        if (s.kind == SCN_BURST) FUZZ_CHECK(s.value >= 1 && s.period >= 0.001);
        if (s.kind == SCN_STALL) FUZZ_CHECK(s.dur > 0);
        if (s.ramp) FUZZ_CHECK(s.dur > 0);
        for (size_t j = 0; j < i; j++) {
            const scenario_step_t& p = scn.steps[j];
            if (p.kind != s.kind || p.dur == 0) continue;
            FUZZ_CHECK(p.at + p.dur <= s.at + 1e-9);
        }
    }
    return 0;
}
