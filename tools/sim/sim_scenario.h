// Scripted link conditions for tarn-vrx-sim: a scenario file (a timeline of
// steps: rate, stage latencies, loss, bursts, stalls, I-frame latency,
// receiver restarts, signal level, bad records, codec), the timeline that
// turns it into records frame by frame, and the ground truth of every step
// as it was applied (one JSON object a line).
//
// The grammar, one step a line, '#' starts a comment:
//   AT  FOR  WHAT  [HOW MUCH]
// AT and FOR are times (ms, s, min; FOR '-' for "from here on"). The
// man page tarn-vrx-sim(1) lists the kinds and their values.
#ifndef TARN_SIM_SCENARIO_H
#define TARN_SIM_SCENARIO_H

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "latency_record.h"

// Limits that keep any scenario file cheap to read and to run.
constexpr size_t SCENARIO_MAX_LINE = 1024;     // bytes of one line, its line end not counted
constexpr size_t SCENARIO_MAX_LINES = 100000;  // lines of a file, comments included
constexpr size_t SCENARIO_MAX_STEPS = 10000;   // steps of a file
constexpr double SCENARIO_MAX_TIME = 604800;   // seconds: no step starts or lasts longer than a week
constexpr double SCENARIO_MAX_RATE = 1e6;      // frames per second
constexpr size_t SCENARIO_MAX_RANGES = 1000;   // id ranges one truth line lists

enum scenario_kind_e {
    SCN_RATE,
    SCN_FRAME,
    SCN_FEC,
    SCN_DECODE,
    SCN_RENDER,
    SCN_VTX,
    SCN_IFRAME,
    SCN_RSSI,
    SCN_LOSS,
    SCN_BURST,
    SCN_STALL,
    SCN_BAD,
    SCN_CODEC,
    SCN_RESTART,
    SCN_END,
    SCN_KIND_COUNT
};

// The word of a kind in a scenario file and in the truth ("decode").
const char* scenario_kind_name(scenario_kind_e kind);

struct scenario_step_t {
    scenario_kind_e kind = SCN_END;
    int line = 0;       // line of the file
    double at = 0;      // seconds from the start
    double dur = 0;     // seconds; 0 for a step that holds from here on
    double value = 0;   // fps, ms, dBm, share (0..1), burst length, restart pause (s)
    double period = 0;  // burst: seconds from one burst to the next
    bool ramp = false;  // move linearly to value over dur
    venc_mode_t codec = VENC_H264;
};

struct scenario_t {
    std::vector<scenario_step_t> steps;  // in time order; those of one moment in file order
};

// Reads a scenario from f; name is what messages call it ("-" for standard
// input). On failure returns false with err set to one line
// "NAME:LINE: what is wrong" (no line end); out is then incomplete.
bool parse_scenario(FILE* f, const std::string& name, scenario_t& out, std::string& err);

// One synthetic frame with today's base values: stage latencies with jitter,
// bigger I-frames every gop frames (gop_index 0 is one), a slowly sagging
// battery over the frame count n. Draws the same number of values from rng
// whatever the frame, so the same seed gives the same jitter frame by frame.
vrx_latency_packet_t synth_record(uint32_t id, long long gop_index, long long n, int gop, venc_mode_t codec, float fps,
                                  std::mt19937& rng);

// How a scenario is run.
struct scenario_params_t {
    std::string pipe;       // where to publish
    double rate = 60;       // frames per second before a rate step
    long long count = 0;    // records to publish, 0 = no limit
    int batch = 1;          // records per write at most
    uint32_t start_id = 1;  // first id, and first id after a restart
    venc_mode_t codec = VENC_H264;
    int gop = 30;
    unsigned seed = 1;
    int wait_clients = 0;  // after a restart: wait for this many subscribers again
    int truth_fd = -1;     // ground truth lines go here when >= 0
};

// Creates the pipe server on channel 0 with its stream description.
// Returns the library's result (negative on failure).
int scenario_open_pipe(const std::string& pipe);

// Where the records of a scenario go and how its time passes: the pipe in
// real time (publish_scenario), or the scenario's own time for a caller
// that takes the records itself (a test feeding a live view's model).
struct scenario_sink_t {
    virtual ~scenario_sink_t() = default;
    virtual void start() {}
    // Until scenario time `when` (seconds); false once the run is to stop.
    virtual bool wait_until(double when) = 0;
    virtual void write(const vrx_latency_packet_t* records, size_t n) = 0;
    // A restart: the receiver closes the pipe, and opens it again at
    // scenario time `when` (false: it could not).
    virtual void close() = 0;
    virtual bool reopen(double when) = 0;
    // Time of day for the truth.
    virtual struct timespec now() = 0;
};
// Runs the scenario into sink until its end step, --count records or
// main_running drops. 0, or -1 when the sink could not reopen.
int run_scenario(const scenario_t& scn, const scenario_params_t& p, scenario_sink_t& sink);

// Publishes the records of the scenario, paced in real time, until its end
// step, --count records or main_running drops. The pipe must be open on
// channel 0. Returns 0, or -1 when the pipe could not be opened again after
// a restart (said on stderr).
int publish_scenario(const scenario_t& scn, const scenario_params_t& p);

#endif
