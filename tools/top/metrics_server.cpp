#include "metrics_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>

#include "top_metrics.h"

struct metrics_server_t {
    top_model_t* model = nullptr;
    std::string pipe;
    MHD_Daemon* daemon = nullptr;
};

namespace {

MHD_Result reply(MHD_Connection* c, unsigned status, const std::string& body, const char* type, bool allow)
{
    MHD_Response* r = MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (r == nullptr) return MHD_NO;
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    if (allow) MHD_add_response_header(r, MHD_HTTP_HEADER_ALLOW, "GET");
    const MHD_Result ok = MHD_queue_response(c, status, r);
    MHD_destroy_response(r);
    return ok;
}

// Answers at once, before any request body: nothing is read or kept of one.
MHD_Result on_request(void* cls, MHD_Connection* c, const char* url, const char* method, const char*, const char*,
                      size_t*, void**)
{
    metrics_server_t* s = static_cast<metrics_server_t*>(cls);
    static const char PLAIN[] = "text/plain; charset=utf-8";
    if (strcmp(url, "/metrics") != 0) return reply(c, MHD_HTTP_NOT_FOUND, "not found: only /metrics\n", PLAIN, false);
    if (strcmp(method, MHD_HTTP_METHOD_GET) != 0)
        return reply(c, MHD_HTTP_METHOD_NOT_ALLOWED, "only GET\n", PLAIN, true);
    const bool om = metrics_wants_openmetrics(MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_ACCEPT));
    // The lock only for the copy; the text is made without it.
    const metrics_snapshot_t snap = metrics_snapshot(*s->model);
    return reply(c, MHD_HTTP_OK, metrics_text(snap, s->pipe, om), om ? METRICS_OPENMETRICS_TYPE : METRICS_TEXT_TYPE,
                 false);
}

}  // namespace

metrics_server_t* metrics_start(top_model_t& m, const std::string& pipe, const std::string& host, int port,
                                std::string& why)
{
    sockaddr_storage addr{};
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL;
    const std::string h = host.empty() ? "127.0.0.1" : host;
    if (h.find(':') != std::string::npos) {
        sockaddr_in6* a = reinterpret_cast<sockaddr_in6*>(&addr);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(static_cast<uint16_t>(port));
        if (inet_pton(AF_INET6, h.c_str(), &a->sin6_addr) != 1) {
            why = "bad address " + h;
            return nullptr;
        }
        flags |= MHD_USE_IPv6;
    } else {
        sockaddr_in* a = reinterpret_cast<sockaddr_in*>(&addr);
        a->sin_family = AF_INET;
        a->sin_port = htons(static_cast<uint16_t>(port));
        if (inet_pton(AF_INET, h.c_str(), &a->sin_addr) != 1) {
            why = "bad address " + h;
            return nullptr;
        }
    }
    metrics_server_t* s = new metrics_server_t;
    s->model = &m;
    s->pipe = pipe;
    errno = 0;
    s->daemon = MHD_start_daemon(flags, static_cast<uint16_t>(port), nullptr, nullptr, on_request, s,
                                 MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&addr),
                                 MHD_OPTION_CONNECTION_LIMIT, METRICS_MAX_CONNECTIONS,
                                 MHD_OPTION_CONNECTION_TIMEOUT, METRICS_TIMEOUT_S,
                                 MHD_OPTION_CONNECTION_MEMORY_LIMIT, METRICS_CONNECTION_MEMORY,
                                 MHD_OPTION_LISTEN_BACKLOG_SIZE, 16u, MHD_OPTION_END);
    if (s->daemon == nullptr) {
        why = errno != 0 ? strerror(errno) : "the HTTP server did not start";
        delete s;
        return nullptr;
    }
    return s;
}

void metrics_stop(metrics_server_t* s)
{
    if (s == nullptr) return;
    MHD_stop_daemon(s->daemon);
    delete s;
}
