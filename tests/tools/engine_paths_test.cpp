// Where the engine lets a job write, and how it reads an address field.
#include <gtest/gtest.h>

#include "job_paths.h"

namespace {

TEST(EnginePlaceFile, AbsoluteFoldersAndPlainNamesOnly) {
    engine::FilePlace place;
    std::string why;
    ASSERT_TRUE(engine::PlaceFile("/games/zk4", "setup.exe", &place, &why));
    EXPECT_EQ(place.folder, "/games/zk4/");
    EXPECT_EQ(place.localPath, "/games/zk4/setup.exe");
    EXPECT_EQ(place.partPath, "/games/zk4/setup.exe.part");
    ASSERT_TRUE(engine::PlaceFile("/games/zk4/", "a..b", &place, &why));
    EXPECT_EQ(place.localPath, "/games/zk4/a..b");

    const std::pair<const char*, const char*> refused[] = {
        {"games/", "a"}, {"", "a"},    {"/g/../etc/", "a"}, {"/g/..", "a"}, {"/g\\..\\x/", "a"},
        {"/g/", ""},     {"/g/", "."}, {"/g/", ".."},       {"/g/", "a/b"}, {"/g/", "a\\b"},
    };
    for (const auto& [folder, name] : refused)
        EXPECT_FALSE(engine::PlaceFile(folder, name, &place, &why)) << folder << " " << name;
    // The reported path must fit its 260-byte field with its zero.
    EXPECT_TRUE(engine::PlaceFile("/" + std::string(250, 'd'), std::string(7, 'n'), &place, &why));
    EXPECT_FALSE(engine::PlaceFile("/" + std::string(250, 'd'), std::string(8, 'n'), &place, &why));
}

TEST(EngineAddresses, AlternativesAndLoopbackHosts) {
    EXPECT_EQ(engine::SplitAlternatives("http://a/x| http://b/x ||"),
              (std::vector<std::string>{"http://a/x", "http://b/x"}));
    EXPECT_TRUE(engine::SplitAlternatives("|").empty());
    EXPECT_TRUE(engine::IsLoopbackUrl("http://127.0.0.1:8080/f"));
    EXPECT_TRUE(engine::IsLoopbackUrl("https://user@localhost/f"));
    EXPECT_TRUE(engine::IsLoopbackUrl("http://[::1]:80/f"));
    EXPECT_FALSE(engine::IsLoopbackUrl("http://127.0.0.1.example/f"));
    EXPECT_FALSE(engine::IsLoopbackUrl("http://cdn.example/127.0.0.1"));
    EXPECT_FALSE(engine::IsLoopbackUrl("no address"));
}

}  // namespace
