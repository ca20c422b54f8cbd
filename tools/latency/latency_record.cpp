// The latency record's column table: what is computed from it at run time.
#include "latency_record.h"

const std::string& latency_csv_header()
{
    static const std::string header = [] {
        std::string h;
        for (const latency_column_t& c : LATENCY_COLUMNS) {
            if (c.csv_title == nullptr) continue;
            if (!h.empty()) h += ',';
            h += c.csv_title;
        }
        return h;
    }();
    return header;
}
