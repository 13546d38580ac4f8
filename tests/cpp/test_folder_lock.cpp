#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include <unistd.h>

#include "folder_lock.hpp"

using namespace quorvan::core;

TEST(FolderLock, OneHolderAtATimeAndTheNextSaysWhoItIs) {
    const auto path = (std::filesystem::temp_directory_path() / ("quorvan-lock-" + std::to_string(::getpid()))).string();
    std::filesystem::remove(path);
    std::string held_by;
    {
        auto first = FolderLock::take(path, "pid 1 on host a, started then", held_by);
        ASSERT_TRUE(first);
        // flock belongs to the open file: a second open, even in this process, is refused.
        EXPECT_FALSE(FolderLock::take(path, "pid 2 on host b, started now", held_by));
        EXPECT_EQ(held_by, "pid 1 on host a, started then");
    }
    // Let go: the next holder takes it and its text replaces the old one whole.
    auto next = FolderLock::take(path, "pid 3", held_by);
    ASSERT_TRUE(next);
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "pid 3\n");
    next.reset();
    std::filesystem::remove(path);

    EXPECT_TRUE(std::regex_match(this_process(utc_now_iso()),
                                 std::regex(R"(pid \d+ on host \S+, started \d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")));
    EXPECT_TRUE(std::regex_match(utc_now_iso(true), std::regex(R"(\d{8}T\d{6}Z)")));
}

TEST(FolderLock, ALinkAtItsNameIsNotFollowed) {
    const auto dir = std::filesystem::temp_directory_path() / ("quorvan-lock-dir-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "target") << "keep";
    std::filesystem::create_symlink(dir / "target", dir / "marking.lock");
    std::string held_by;
    EXPECT_THROW(FolderLock::take((dir / "marking.lock").string(), "me", held_by), std::runtime_error);
    std::ifstream in(dir / "target");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "keep");
    std::filesystem::remove_all(dir);
}
