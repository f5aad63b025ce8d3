#include "TakePage.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class TakePageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::path(QUADSTITCH_TEST_TMP) / "view" / ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(dir);
        fs::create_directories(dir / "take");
        take = dir / "take";
        assets = dir / "assets";
        fs::create_directories(assets);
        for (const std::string& file : TakePage::assetFiles()) touch(assets / file, "/* " + file + " */");
    }

    static void touch(const fs::path& file, const std::string& text = "")
    {
        std::ofstream(file) << text;
    }
    static std::string read(const fs::path& file)
    {
        std::ifstream in(file);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    void picture(const std::string& name, int channels = 3)
    {
        cv::imwrite((take / name).string(), cv::Mat(4, 8, CV_8UC(channels), cv::Scalar(10, 20, 30, 255)));
    }
    TakePage::Options options() const
    {
        TakePage::Options o;
        o.takeDir = take;
        o.page = take / "index.html";
        o.assets = assets;
        return o;
    }

    fs::path dir, take, assets;
};

} // namespace

TEST_F(TakePageTest, FindsOnlyPanoramasByFrameNumberPreferringPng)
{
    picture("0000000012.png", 4);
    picture("0000000003.jpg");
    picture("0000000003.tif");
    picture("0000000007.jpg");
    picture("0000000007.png");
    // Not panoramas: camera images, overlays, other widths of number, a folder.
    picture("0000000012-1.png");
    picture("0000000012.seams.png", 4);
    picture("000000012.png");
    picture("00000000012.png");
    picture("9999999999.png"); // beyond any frame number
    touch(take / "0000000001.PNG");
    fs::create_directories(take / "0000000005.png");

    const auto found = TakePage::findPanoramas(take);
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0].frame, 3u);
    EXPECT_EQ(found[0].file.filename(), "0000000003.tif");
    EXPECT_EQ(found[1].frame, 7u);
    EXPECT_EQ(found[1].file.filename(), "0000000007.png");
    EXPECT_EQ(found[2].frame, 12u);
    EXPECT_EQ(found[2].width, 8);
    EXPECT_EQ(found[2].height, 4);
    EXPECT_EQ(found[2].channels, 4);
    EXPECT_EQ(found[1].channels, 3);
    EXPECT_THROW(TakePage::findPanoramas(take / "missing"), std::runtime_error);
}

TEST_F(TakePageTest, PngHeaderGivesSizeAndChannelsAndRejectsOtherFiles)
{
    picture("a.png", 4);
    picture("b.jpg");
    int w = -1, h = -1, c = -1;
    ASSERT_TRUE(TakePage::readPngHeader(take / "a.png", w, h, c));
    EXPECT_EQ(w, 8);
    EXPECT_EQ(h, 4);
    EXPECT_EQ(c, 4);
    EXPECT_FALSE(TakePage::readPngHeader(take / "b.jpg", w, h, c));
    touch(take / "short.png", "\x89PNG\r\n");
    EXPECT_FALSE(TakePage::readPngHeader(take / "short.png", w, h, c));
    EXPECT_FALSE(TakePage::readPngHeader(take / "absent.png", w, h, c));
    EXPECT_EQ(w, 8); // untouched on failure
}

TEST(TakePageText, JsonStringsCannotCloseTheScriptElementTheyAreEmbeddedIn)
{
    EXPECT_EQ(TakePage::jsonString("plain"), "\"plain\"");
    EXPECT_EQ(TakePage::jsonString("a\"b\\c\nd\te\x01"), "\"a\\\"b\\\\c\\nd\\te\\u0001\"");
    const std::string escaped = TakePage::jsonString("</script><!-- & x");
    EXPECT_EQ(escaped.find('<'), std::string::npos);
    EXPECT_EQ(escaped.find('>'), std::string::npos);
    EXPECT_EQ(escaped, "\"\\u003c/script\\u003e\\u003c!-- \\u0026 x\"");
    // UTF-8 passes through untouched.
    EXPECT_EQ(TakePage::jsonString("\xc3\xa9"), "\"\xc3\xa9\"");
}

TEST(TakePageText, RelativeUrlsWalkBetweenFoldersAndEncodeNames)
{
    EXPECT_EQ(TakePage::relativeUrl("/data/take/0000000001.png", "/data/take"), "0000000001.png");
    EXPECT_EQ(TakePage::relativeUrl("/data/my take/a#1.png", "/data/pages"), "../my%20take/a%231.png");
    EXPECT_EQ(TakePage::relativeUrl("/data/take/./x/../0000000001.png", "/data/take/"), "0000000001.png");
}

TEST_F(TakePageTest, WritesThePageWithAssetsOverlaysAndReport)
{
    picture("0000000000.png");
    picture("0000000001.png", 4);
    picture("0000000001.seams.png", 4);
    touch(take / "0000000001.overlays.json", "{\"depth\": {\"nearMetres\": 1.5}}");
    touch(take / "quadstitch-report.json", "{\"frames\": [{\"frame\": 1, \"error\": \"</script>\"}]}");
    TakePage::Options o = options();
    o.report = take / "quadstitch-report.json";

    EXPECT_EQ(TakePage::writePage(o), 2u);
    const std::string html = read(take / "index.html");
    for (const std::string& file : TakePage::assetFiles())
        EXPECT_EQ(read(take / "quadstitch-viewer" / file), "/* " + file + " */") << file;
    EXPECT_NE(html.find("\"url\": \"0000000001.png\""), std::string::npos);
    EXPECT_NE(html.find("\"seams\": \"0000000001.seams.png\""), std::string::npos);
    EXPECT_NE(html.find("nearMetres"), std::string::npos);
    EXPECT_NE(html.find("\"channels\": 4"), std::string::npos);
    EXPECT_NE(html.find("\"importmap\""), std::string::npos);
    // The report's own "</script>" must not end the embedded data early: the only
    // closing tags are those the page writes itself.
    const std::size_t data = html.find("id=\"quadstitch-take\"");
    ASSERT_NE(data, std::string::npos);
    const std::size_t close = html.find("</script>", data);
    EXPECT_NE(html.find("\\u003c/script\\u003e", data), std::string::npos);
    EXPECT_LT(html.find("\\u003c/script\\u003e", data), close);

    // Running again leaves the same files and no temporaries.
    EXPECT_EQ(TakePage::writePage(o), 2u);
    EXPECT_EQ(read(take / "index.html"), html);
    for (const auto& entry : fs::directory_iterator(take))
        EXPECT_NE(entry.path().filename().string()[0], '.') << entry.path();
}

TEST_F(TakePageTest, PageElsewhereReachesTheTakeByRelativeUrls)
{
    picture("0000000004.png");
    picture("0000000004.depth.png", 4);
    TakePage::Options o = options();
    o.page = dir / "pages" / "take.html";
    fs::create_directories(dir / "pages");
    TakePage::writePage(o);
    const std::string html = read(dir / "pages" / "take.html");
    EXPECT_NE(html.find("\"url\": \"../take/0000000004.png\""), std::string::npos);
    EXPECT_NE(html.find("\"depth\": \"../take/0000000004.depth.png\""), std::string::npos);
    EXPECT_TRUE(fs::exists(dir / "pages" / "quadstitch-viewer" / "viewer.js"));
    EXPECT_FALSE(fs::exists(take / "index.html"));
}

TEST_F(TakePageTest, RefusesWhatCannotMakeAPage)
{
    // No panoramas.
    picture("0000000000-1.png");
    EXPECT_THROW(TakePage::writePage(options()), std::runtime_error);
    picture("0000000000.png");
    // A named report that is not there.
    TakePage::Options o = options();
    o.report = take / "nope.json";
    EXPECT_THROW(TakePage::writePage(o), std::runtime_error);
    // Viewer files missing: the message names the missing file.
    fs::remove(assets / "three.core.js");
    try {
        TakePage::writePage(options());
        FAIL() << "no error without the viewer library";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("three.core.js"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(fs::exists(take / "index.html"));
    o = options();
    o.takeDir = dir / "missing";
    EXPECT_THROW(TakePage::writePage(o), std::runtime_error);
}

TEST_F(TakePageTest, LeavesAPageItDidNotWriteAlone)
{
    picture("0000000000.png");
    touch(take / "index.html", "<p>my notes</p>");
    EXPECT_THROW(TakePage::writePage(options()), std::runtime_error);
    EXPECT_EQ(read(take / "index.html"), "<p>my notes</p>");
    TakePage::Options o = options();
    o.page = take / "view.html";
    EXPECT_EQ(TakePage::writePage(o), 1u);
}

// What the tool reads is bounded and must be a regular file; what it writes goes
// through new files only: a FIFO or a link to /dev/zero as the page cannot hang it or
// fill the memory, and links planted at its temporary names or as its asset folder
// are not followed.
TEST_F(TakePageTest, ReadsAndWritesNothingButRegularFilesOfBoundedSize)
{
    picture("0000000000.png");
    const auto message = [&](const TakePage::Options& o) {
        try {
            TakePage::writePage(o);
        } catch (const std::runtime_error& e) {
            return std::string(e.what());
        }
        return std::string();
    };
    const fs::path page = take / "index.html";
    ASSERT_EQ(::mkfifo(page.c_str(), 0644), 0);
    EXPECT_NE(message(options()).find("is not a regular file"), std::string::npos);
    fs::remove(page);
    fs::create_symlink("/dev/zero", page);
    EXPECT_NE(message(options()).find("is a link"), std::string::npos);
    fs::remove(page);

    const fs::path elsewhere = dir / "elsewhere";
    fs::create_directories(elsewhere);
    fs::create_directory_symlink(elsewhere, take / "quadstitch-viewer");
    EXPECT_NE(message(options()).find("is not a folder"), std::string::npos);
    EXPECT_TRUE(fs::is_empty(elsewhere));
    fs::remove(take / "quadstitch-viewer");

    // Links at every temporary name this process could use.
    const fs::path victim = dir / "victim.txt";
    touch(victim, "precious");
    const std::string pid = std::to_string(::getpid());
    fs::create_symlink(victim, take / (".index.html.tmp" + pid));
    for (int i = 0; i < 32; ++i) fs::create_symlink(victim, take / (".index.html.tmp" + pid + "-" + std::to_string(i)));
    EXPECT_EQ(message(options()), "");
    EXPECT_EQ(read(victim), "precious");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(page)));

    // A report far larger than any take's is refused by name; overlay facts that are
    // not what the batch tool writes are left out, the page still written.
    TakePage::Options o = options();
    o.report = take / "huge.json";
    std::ofstream(*o.report) << "{";
    fs::resize_file(*o.report, (std::uintmax_t{64} << 20) + 1);
    EXPECT_NE(message(o).find("huge.json is larger than 64 MiB"), std::string::npos) << message(o);
    touch(take / "0000000000.overlays.json", "{\"depth\": {\"scale\": \"turbo\"}}");
    fs::resize_file(take / "0000000000.overlays.json", std::uintmax_t{1} << 20);
    EXPECT_EQ(message(options()), "");
    EXPECT_EQ(read(page).find("overlayFacts"), std::string::npos);
}
