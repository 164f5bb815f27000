#include "conversion/file_intake.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using namespace rastel;

namespace {

struct TempDir {
    fs::path path;
    TempDir() {
        path = fs::temp_directory_path() / ("rastel-intake-" + std::to_string(::getpid()) + "-" +
                                            std::to_string(reinterpret_cast<std::uintptr_t>(this)));
        fs::create_directories(path);
    }
    ~TempDir() { fs::remove_all(path); }
    fs::path touch(const std::string& name) const {
        std::ofstream(path / name) << "x";
        return path / name;
    }
};

}  // namespace

TEST(SplitCommandLine, FollowsTheQuoteAndSeparatorWalk) {
    struct Case {
        std::string text;
        std::vector<std::string> items;
    };
    const Case cases[] = {
        {"/a/x.jpg /b/y.png", {"/a/x.jpg", "/b/y.png"}},
        {"\"/my pics/x.jpg\" /b/y.png", {"/my pics/x.jpg", "/b/y.png"}},
        {"\"/a/x.jpg\"", {"/a/x.jpg", ""}},
        {"/a/x.jpg  /b/y.png", {"/a/x.jpg", "", "/b/y.png"}},
        {"\"/a/x.jpg\"\"/b/y.png\"", {"/a/x.jpg", "/b/y.png"}},
        {"ab\"c d\"e", {"abc d", ""}},
        {" x", {"", "x"}},
        {"x\ty", {"x", "y"}},
        {"x ", {"x", ""}},
        {"\"open quote", {"open quote"}},
        {"全角\u3000空白", {"全角\u3000空白"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> items{"stale"};
        EXPECT_EQ(SplitCommandLine(c.text, items), static_cast<int>(c.items.size())) << c.text;
        EXPECT_EQ(items, c.items) << c.text;
    }
    std::vector<std::string> untouched{"keep"};
    EXPECT_EQ(SplitCommandLine("", untouched), 0);
    EXPECT_EQ(untouched, std::vector<std::string>{"keep"});
}

TEST(AcceptFile, ComparesTheUpperCasedLastFourCharacters) {
    struct Case {
        std::string path;
        bool accepted;
    };
    const Case cases[] = {
        {"/p/A.Jpg", true},    {"/p/b.jpeg", false}, {"/p/c.TIF", true},   {"/p/d.tiff", false},
        {"/p/e.dib", true},    {"/p/f.ico", true},   {"/p/g.pcd", true},   {"/p/h.txt", false},
        {"/p/写真.png", true}, {".wpg", true},       {"wpg", false},       {"/p/noext", false},
        {"/p/x.awd", true},    {"/p/x.Wfx", true},   {"/p/x.jpg ", false}, {"", false},
    };
    for (const auto& c : cases) {
        FileQueueType queue{std::string()};
        EXPECT_EQ(AcceptFile(c.path, queue), 0);
        EXPECT_EQ(QueuedCount(queue), c.accepted ? 1u : 0u) << c.path;
        EXPECT_TRUE(queue.back().empty()) << "the spare slot must stay empty";
        if (c.accepted) {
            EXPECT_EQ(queue.front(), c.path);
        }
    }
    EXPECT_EQ(AcceptedExtensions().size(), 26u);
}

TEST(AcceptFile, QueuesDuplicatesInArrivalOrder) {
    FileQueueType queue{std::string()};
    AcceptFile("/a.bmp", queue);
    AcceptFile("/b.gif", queue);
    AcceptFile("/a.bmp", queue);
    EXPECT_EQ(queue, (FileQueueType{"/a.bmp", "/b.gif", "/a.bmp", ""}));
    ResetQueue(queue);
    EXPECT_EQ(QueuedCount(queue), 0u);
    EXPECT_EQ(queue.size(), 1u);
}

TEST(ExpandFolder, QueuesOnlyPlainAcceptedFilesDirectlyInside) {
    TempDir dir;
    dir.touch("a.jpg");
    dir.touch("b.txt");
    dir.touch(".hidden.png");
    dir.touch("名前 に 空白.Bmp");
    fs::create_directory(dir.path / "sub.png");
    fs::create_directory(dir.path / "inner");
    std::ofstream(dir.path / "inner" / "deep.jpg") << "x";
    FileQueueType queue{std::string()};
    int yields = 0;
    ExpandFolder(dir.path.string(), queue, [&] { ++yields; });
    std::vector<std::string> got(queue.begin(), queue.end() - 1);
    std::sort(got.begin(), got.end());
    const std::string base = AddBackslash(dir.path.string());
    EXPECT_EQ(got, (std::vector<std::string>{base + "a.jpg", base + "名前 に 空白.Bmp"}));
    EXPECT_EQ(yields, 3) << "one yield per plain file offered";
}

TEST(AddBackslash, AppendsTheNativeSeparatorOnce) {
    EXPECT_EQ(AddBackslash("/tmp"), "/tmp/");
    EXPECT_EQ(AddBackslash("/tmp/"), "/tmp/");
    EXPECT_EQ(AddBackslash(""), "/");
}

TEST(NormalizePath, RebuildsExistingPathsAndEmptiesMissingOnes) {
    TempDir dir;
    fs::create_directory(dir.path / "写真 フォルダ");
    std::ofstream(dir.path / "写真 フォルダ" / "A.Jpg") << "x";
    const std::string root = dir.path.string();
    EXPECT_EQ(NormalizePath(root + "/写真 フォルダ/A.Jpg"), root + "/写真 フォルダ/A.Jpg");
    EXPECT_EQ(NormalizePath(root + "/写真 フォルダ/./../写真 フォルダ/A.Jpg"), root + "/写真 フォルダ/A.Jpg");
    EXPECT_EQ(NormalizePath(root + "/写真 フォルダ"), root + "/写真 フォルダ");
    EXPECT_EQ(NormalizePath(root + "/missing/A.Jpg"), "");
    EXPECT_EQ(NormalizePath(root + "/写真 フォルダ/B.Jpg"), "");
    EXPECT_EQ(NormalizePath(""), "");

    const fs::path saved = fs::current_path();
    fs::current_path(dir.path);
    EXPECT_EQ(NormalizePath("写真 フォルダ/A.Jpg"), root + "/写真 フォルダ/A.Jpg");
    fs::current_path(saved);
}
