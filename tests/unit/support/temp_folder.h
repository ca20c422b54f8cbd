// A fixture that gives each test a private folder under /tmp, removed with
// everything in it when the test ends, and its files by name.
#ifndef TARN_TEST_TEMP_FOLDER_H
#define TARN_TEST_TEMP_FOLDER_H

#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

class TempFolderTest : public testing::Test {
protected:
    std::string dir;

    void SetUp() override
    {
        char templ[] = "/tmp/tarn-test-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir = templ;
    }
    void TearDown() override
    {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
        EXPECT_FALSE(ec) << dir << ": " << ec.message();
    }
    std::string path(const std::string& name) const { return dir + "/" + name; }
    void put(const std::string& name, const std::string& text) const
    {
        std::ofstream(path(name), std::ios::binary) << text;
    }
    std::string get(const std::string& name) const
    {
        std::ifstream in(path(name), std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
};

#endif
