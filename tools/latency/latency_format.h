// Printing a record's columns, as the live table shows them and the CSV log
// holds them: one value formatter for both, unrolled over the column table
// at compile time so a row costs the formatter nothing.
#ifndef TARN_LATENCY_FORMAT_H
#define TARN_LATENCY_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "latency_record.h"

// Appends v in fixed notation with prec (0 to 3) decimals, right-aligned in
// width columns, exactly as printf("%*.*f") prints the float widened to
// double (round_as_logged). Values beyond its range, NaN and infinities go
// through {fmt}, which prints them the same way.
inline void append_fixed(fmt::memory_buffer& out, float v, int prec, int width)
{
    int64_t units;
    if (!round_as_logged(v, prec, units)) {
        fmt::format_to(std::back_inserter(out), "{:>{}.{}f}", double(v), width, prec);
        return;
    }
    auto n = static_cast<uint64_t>(units < 0 ? -units : units);
    char digits[32];
    char* end = digits + sizeof digits;
    char* p = end;
    for (int i = 0; i < prec; i++) {
        *--p = static_cast<char>('0' + n % 10);
        n /= 10;
    }
    if (prec > 0) *--p = '.';
    do {
        *--p = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n != 0);
    if (std::signbit(v)) *--p = '-';
    for (int pad = width - static_cast<int>(end - p); pad > 0; pad--) out.push_back(' ');
    out.append(p, end);
}

// Appends an integer right-aligned in width columns.
template <typename T>
inline void append_integer(fmt::memory_buffer& out, T v, int width)
{
    fmt::format_int text(v);
    for (int pad = width - static_cast<int>(text.size()); pad > 0; pad--) out.push_back(' ');
    out.append(text.data(), text.data() + text.size());
}

// What a row shows beyond the record's own members.
struct latency_row_extras {
    float avg;                // the average column (latency_row_average)
    const std::string& type;  // the frame-type text (nalu_as_string)
};

// Column I's value, right-aligned in width columns (0: no padding) with the
// given decimals.
template <size_t I>
inline void append_column_value(fmt::memory_buffer& out, const vrx_latency_packet_t& r, const latency_row_extras& x,
                                int width, int decimals)
{
    constexpr latency_column_t c = LATENCY_COLUMNS[I];
    if constexpr (c.source == SRC_U32) {
        append_integer(out, latency_member<uint32_t>(r, c.offset), width);
    } else if constexpr (c.source == SRC_I32) {
        append_integer(out, latency_member<int32_t>(r, c.offset), width);
    } else if constexpr (c.source == SRC_F32) {
        append_fixed(out, latency_member<float>(r, c.offset), decimals, width);
    } else if constexpr (c.source == SRC_AVERAGE) {
        append_fixed(out, x.avg, decimals, width);
    } else {
        for (int pad = width - static_cast<int>(x.type.size()); pad > 0; pad--) out.push_back(' ');
        out.append(x.type.data(), x.type.data() + x.type.size());
    }
}

namespace latency_format_detail {

template <size_t I>
inline void append_csv_value(fmt::memory_buffer& out, const vrx_latency_packet_t& r, const latency_row_extras& x,
                             bool& first)
{
    if constexpr (LATENCY_COLUMNS[I].csv_title != nullptr) {
        if (!first) out.push_back(',');
        first = false;
        append_column_value<I>(out, r, x, 0, LATENCY_COLUMNS[I].csv_decimals);
    }
}

template <size_t... I>
inline void append_csv_fields(fmt::memory_buffer& out, const vrx_latency_packet_t& r, const latency_row_extras& x,
                              std::index_sequence<I...>)
{
    bool first = true;
    (append_csv_value<I>(out, r, x, first), ...);
    out.push_back('\n');
}

}  // namespace latency_format_detail

// Appends the record's CSV line, "\n" included.
inline void append_csv_line(fmt::memory_buffer& csv, const vrx_latency_packet_t& r, const latency_row_extras& x)
{
    latency_format_detail::append_csv_fields(csv, r, x, std::make_index_sequence<LATENCY_COLUMN_COUNT>());
}

#endif
