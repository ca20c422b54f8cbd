// Hex dumps, text splitting and tests, angle conversion, salts.
#include <algorithm>
#include <cstdio>
#include <iomanip>
#include <iostream>
#include <random>
#include <sstream>

#include <fmt/core.h>

#include "tarn_common.h"

namespace {

// Each line is built whole before it is written, so concurrent dumps do not
// interleave inside a line.
std::string hex_line(const unsigned char* data, size_t len)
{
    std::ostringstream line;
    line << std::hex << std::setfill('0');
    for (size_t i = 0; i < len; i++) line << std::setw(2) << static_cast<unsigned>(data[i]) << ' ';
    return line.str();
}

void report_null_frame()
{
    fmt::print("[ERROR] {}() --> FRAME NULLPTR\n", "print_hex");
    fflush(stdout);
}

}  // namespace

void print_hex(const unsigned char* data, int len)
{
    if (data == nullptr) {
        report_null_frame();
        return;
    }
    std::string line = hex_line(data, len > 0 ? static_cast<size_t>(len) : 0);
    std::cerr << line << std::endl;
}

void print_hex(std::shared_ptr<std::vector<unsigned char>> frame)
{
    if (!frame) {
        report_null_frame();
        return;
    }
    std::string line = hex_line(frame->data(), frame->size());
    std::cout << line << std::endl;
}

void print_all_fragments(std::vector<std::shared_ptr<std::vector<unsigned char>>> fragments)
{
    for (const auto& f : fragments) print_hex(f);
}

std::vector<std::string> split_string(const std::string& text)
{
    std::istringstream in(text);
    std::vector<std::string> words;
    std::string word;
    while (in >> word) words.push_back(word);
    return words;
}

bool str_ends_with(const std::string& str, const std::string& suffix)
{
    if (suffix.size() > str.size()) return false;
    return std::equal(suffix.rbegin(), suffix.rend(), str.rbegin());
}

bool is_integer(const std::string& text)
{
    size_t i = 0;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) i = 1;
    if (i == text.size()) return false;
    for (; i < text.size(); i++)
        if (text[i] < '0' || text[i] > '9') return false;
    return true;
}

double degreesToRadians(double degrees)
{
    return degrees * 0.017453292519943295;
}

std::string generate_salt()
{
    std::random_device device("default");
    std::mt19937 engine(device());
    std::uniform_int_distribution<int> digit(0, 15);
    std::ostringstream salt;
    salt << std::hex;
    for (int i = 0; i < 8; i++) salt << digit(engine);
    return salt.str();
}
