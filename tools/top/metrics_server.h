// GET /metrics over HTTP (libmicrohttpd, in a thread of its own): the
// model's figures in the Prometheus text format, or OpenMetrics when the
// scraper's Accept header asks for it. Other paths get 404, other methods
// 405. At most METRICS_MAX_CONNECTIONS clients at once, each dropped after
// METRICS_TIMEOUT_S seconds without traffic, with a bounded buffer each.
#ifndef TARN_TOP_METRICS_SERVER_H
#define TARN_TOP_METRICS_SERVER_H

#include <string>

#include "top_model.h"

constexpr unsigned METRICS_MAX_CONNECTIONS = 8;
constexpr unsigned METRICS_TIMEOUT_S = 3;
constexpr size_t METRICS_CONNECTION_MEMORY = 32 * 1024;

struct metrics_server_t;

// Starts serving m's figures with pipe as the pipe label on host:port
// (host empty: 127.0.0.1). nullptr with why when it cannot listen.
metrics_server_t* metrics_start(top_model_t& m, const std::string& pipe, const std::string& host, int port,
                                std::string& why);
// Stops and frees; nullptr is fine.
void metrics_stop(metrics_server_t* s);

#endif
