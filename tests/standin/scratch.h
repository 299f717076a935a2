// A scratch folder per test, and small file helpers for the stand-in's tests.
#pragma once

#include "tests/standin/testing.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

// Gives each test an empty folder of its own and a clean set of faults and
// records; removes the folder afterwards.
class Scratch : public ::testing::Test {
  public:
    void SetUp() override {
        char pattern[] = "/tmp/qelvor-platform-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        PlatformReset();
        PlatformRecordCalls(true);  // the test reads the log
    }
    void TearDown() override {
        std::filesystem::permissions(root, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add);
        std::filesystem::remove_all(root);
    }
    // The path of a name inside the folder, Windows style (backslashes).
    std::string At(const std::string& relative) const {
        std::string path = root + "\\" + relative;
        return path;
    }
    // The same path as POSIX sees it.
    std::string Posix(const std::string& relative) const {
        std::string path = root + "/" + relative;
        for (char& c : path) {
            if (c == '\\') {
                c = '/';
            }
        }
        return path;
    }
    void Put(const std::string& relative, const std::string& bytes) const {
        std::filesystem::create_directories(std::filesystem::path(Posix(relative)).parent_path());
        std::ofstream(Posix(relative), std::ios::binary) << bytes;
    }
    std::string Get(const std::string& relative) const {
        std::ifstream in(Posix(relative), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    bool Exists(const std::string& relative) const {
        std::error_code ignored;
        return std::filesystem::symlink_status(Posix(relative), ignored).type() !=
               std::filesystem::file_type::not_found;
    }
    std::string root;  // the scratch folder, POSIX path
};
