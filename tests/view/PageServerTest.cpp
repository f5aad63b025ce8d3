#include "PageServer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

// A page folder beside a file that must never be served.
class PageServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::path(QUADSTITCH_TEST_TMP) / ("serve-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir / "take" / "quadstitch-viewer");
        std::ofstream(dir / "secret.txt") << "private";
        std::ofstream(dir / "take" / "index.html") << "<!doctype html><p>page</p>";
        std::ofstream(dir / "take" / "quadstitch-viewer" / "viewer.js") << "// script";
        fs::create_symlink(dir / "secret.txt", dir / "take" / "link.txt");
    }
    void TearDown() override { fs::remove_all(dir); }

    // Sends one raw request to a server answering on another thread; the reply until
    // the server closes the connection.
    static std::string exchange(PageServer& server, const std::string& request)
    {
        std::thread serving([&] { server.serveOne(); });
        const int client = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(server.port());
        std::string reply;
        if (::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            ::send(client, request.data(), request.size(), 0);
            char buffer[1024];
            for (ssize_t got; (got = ::recv(client, buffer, sizeof buffer, 0)) > 0;)
                reply.append(buffer, static_cast<std::size_t>(got));
        }
        ::close(client);
        serving.join();
        return reply;
    }

    fs::path dir;
};

} // namespace

TEST_F(PageServerTest, ServesTheFolderAndNothingOutsideIt)
{
    const PageServer server(dir / "take", "index.html");
    EXPECT_EQ(server.answer("GET", "/").status, 200);
    EXPECT_EQ(server.answer("GET", "/").file.filename(), "index.html");
    EXPECT_EQ(server.answer("GET", "/?frame=3").type, "text/html; charset=utf-8");
    const PageServer::Answer script = server.answer("HEAD", "/quadstitch-viewer/viewer%2Ejs");
    EXPECT_EQ(script.status, 200);
    EXPECT_EQ(script.type, "text/javascript; charset=utf-8");
    // Out of the folder by dots, encoded dots, or a link: refused; the rest not found.
    for (const char* target : {"/../secret.txt", "/%2e%2e/secret.txt", "/quadstitch-viewer/..%2F..%2Fsecret.txt",
                               "/link.txt"})
        EXPECT_EQ(server.answer("GET", target).status, 403) << target;
    EXPECT_EQ(server.answer("GET", "/missing.png").status, 404);
    EXPECT_EQ(server.answer("GET", "/quadstitch-viewer").status, 404) << "a folder is no file";
    for (const char* target : {"/%zz", "/a%00.html", "secret.txt", ""})
        EXPECT_EQ(server.answer("GET", target).status, 400) << target;
    EXPECT_EQ(server.answer("POST", "/").status, 405);
    EXPECT_EQ(server.answer("DELETE", "/index.html").status, 405);
}

TEST_F(PageServerTest, AnswersOverTheLoopbackAddress)
{
    PageServer server(dir / "take", "index.html");
    ASSERT_GT(server.port(), 0);
    const std::string page = exchange(server, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(page.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << page;
    EXPECT_NE(page.find("Content-Length: 26\r\n"), std::string::npos) << page;
    EXPECT_EQ(page.substr(page.find("\r\n\r\n") + 4), "<!doctype html><p>page</p>");
    const std::string refused = exchange(server, "GET /../secret.txt HTTP/1.1\r\n\r\n");
    EXPECT_EQ(refused.rfind("HTTP/1.1 403 ", 0), 0u) << refused;
    EXPECT_EQ(refused.find("private"), std::string::npos);
    EXPECT_EQ(exchange(server, "nonsense\r\n\r\n").rfind("HTTP/1.1 400 ", 0), 0u);
}
