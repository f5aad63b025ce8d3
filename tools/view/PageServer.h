#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

// A small HTTP server for one viewer page on this machine: browsers load a page's
// module scripts from a server but often not from files. It answers GET and HEAD for
// the files inside one folder (the page's), nothing outside it, on 127.0.0.1 only.
class PageServer {
public:
    // `folder` is served; "/" is `index` inside it. Listens on 127.0.0.1 at `port`,
    // or at a free port when 0. Throws std::runtime_error when it cannot listen.
    PageServer(const std::filesystem::path& folder, const std::string& index, std::uint16_t port = 0);
    ~PageServer();
    PageServer(const PageServer&) = delete;
    PageServer& operator=(const PageServer&) = delete;

    std::uint16_t port() const { return port_; }

    // Accepts connections and answers each on its own thread, until the process ends.
    [[noreturn]] void run();
    // Accepts one connection and answers it on this thread (for tests).
    void serveOne();

    // What answers a request: the status line's code, the file to send (empty for an
    // error) and its media type. `target` is the request target as sent.
    struct Answer {
        int status = 404;
        std::filesystem::path file;
        std::string type;
    };
    Answer answer(const std::string& method, const std::string& target) const;

private:
    void handle(int connection) const;

    std::filesystem::path folder_;
    std::string index_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
};
