#include "PageServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace {

// Largest request head read: a browser's GET is well under 2 KiB.
constexpr std::size_t kMaxRequestHead = 16 * 1024;
// A client that stalls this long is dropped, so it cannot hold a thread for ever.
constexpr int kTimeoutSeconds = 30;

std::string mediaType(const fs::path& file)
{
    static const std::map<std::string, std::string> types = {
        {".html", "text/html; charset=utf-8"}, {".js", "text/javascript; charset=utf-8"},
        {".mjs", "text/javascript; charset=utf-8"}, {".css", "text/css; charset=utf-8"},
        {".json", "application/json"}, {".png", "image/png"}, {".jpg", "image/jpeg"},
        {".jpeg", "image/jpeg"}, {".tif", "image/tiff"}, {".tiff", "image/tiff"}};
    const auto found = types.find(file.extension().string());
    return found == types.end() ? "application/octet-stream" : found->second;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The path of a request target, percent-decoded; false for a malformed one or one
// that decodes to a NUL byte.
bool decodedPath(const std::string& target, std::string& path)
{
    const std::string raw = target.substr(0, target.find_first_of("?#"));
    path.clear();
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '%') {
            path += raw[i];
            continue;
        }
        if (i + 2 >= raw.size() || hexValue(raw[i + 1]) < 0 || hexValue(raw[i + 2]) < 0)
            return false;
        path += static_cast<char>(hexValue(raw[i + 1]) * 16 + hexValue(raw[i + 2]));
        i += 2;
    }
    return !path.empty() && path[0] == '/' && path.find('\0') == std::string::npos;
}

bool sendAll(int connection, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t sent = ::send(connection, data, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

const char* reason(int status)
{
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    default: return "Error";
    }
}

} // namespace

PageServer::PageServer(const fs::path& folder, const std::string& index, std::uint16_t port)
    : folder_(fs::canonical(folder)), index_(index)
{
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0)
        throw std::runtime_error(std::string("cannot open a socket: ") + std::strerror(errno));
    const int on = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK); // this machine only
    address.sin_port = htons(port);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const std::string problem = std::strerror(errno);
        ::close(listener_);
        throw std::runtime_error("cannot serve on 127.0.0.1 port " + std::to_string(port) + ": " + problem);
    }
    port_ = ntohs(address.sin_port);
}

PageServer::~PageServer()
{
    if (listener_ >= 0)
        ::close(listener_);
}

PageServer::Answer PageServer::answer(const std::string& method, const std::string& target) const
{
    Answer a;
    if (method != "GET" && method != "HEAD") {
        a.status = 405;
        return a;
    }
    std::string path;
    if (!decodedPath(target, path)) {
        a.status = 400;
        return a;
    }
    if (path.back() == '/')
        path += index_;
    // Nothing outside the folder: no ".." segment, and no link that leads out of it.
    const fs::path relative = fs::path(path).relative_path();
    for (const fs::path& part : relative) {
        if (part == "..") {
            a.status = 403;
            return a;
        }
    }
    std::error_code error;
    const fs::path file = fs::canonical(folder_ / relative, error);
    if (error || !fs::is_regular_file(file, error)) {
        a.status = 404;
        return a;
    }
    const auto [end, _] = std::mismatch(folder_.begin(), folder_.end(), file.begin(), file.end());
    if (end != folder_.end()) {
        a.status = 403;
        return a;
    }
    a.status = 200;
    a.file = file;
    a.type = mediaType(file);
    return a;
}

void PageServer::handle(int connection) const
{
    const timeval timeout{kTimeoutSeconds, 0};
    ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(connection, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < kMaxRequestHead) {
        const ssize_t got = ::recv(connection, buffer, sizeof buffer, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        head.append(buffer, static_cast<std::size_t>(got));
    }
    const std::size_t lineEnd = head.find("\r\n");
    const std::string line = head.substr(0, lineEnd);
    const std::size_t space1 = line.find(' ');
    const std::size_t space2 = space1 == std::string::npos ? std::string::npos : line.find(' ', space1 + 1);
    Answer a;
    std::string method;
    if (lineEnd == std::string::npos || space2 == std::string::npos) {
        a.status = 400;
    } else {
        method = line.substr(0, space1);
        a = answer(method, line.substr(space1 + 1, space2 - space1 - 1));
    }
    std::ifstream in;
    std::uintmax_t size = 0;
    if (a.status == 200) {
        std::error_code error;
        size = fs::file_size(a.file, error);
        in.open(a.file, std::ios::binary);
        if (error || !in)
            a.status = 404;
    }
    std::string response = "HTTP/1.1 " + std::to_string(a.status) + " " + reason(a.status) + "\r\n";
    const std::string body = a.status == 200 ? "" : std::to_string(a.status) + " " + reason(a.status) + "\n";
    response += "Content-Type: " + (a.status == 200 ? a.type : std::string("text/plain; charset=utf-8")) + "\r\n";
    response += "Content-Length: " + std::to_string(a.status == 200 ? size : body.size()) + "\r\n";
    response += "Cache-Control: no-cache\r\nX-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n";
    if (method != "HEAD")
        response += body;
    if (sendAll(connection, response.data(), response.size()) && a.status == 200 && method == "GET") {
        while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
            if (!sendAll(connection, buffer, static_cast<std::size_t>(in.gcount())))
                break;
        }
    }
    ::shutdown(connection, SHUT_WR);
    ::close(connection);
}

void PageServer::serveOne()
{
    int connection = -1;
    do {
        connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    } while (connection < 0 && errno == EINTR);
    if (connection < 0)
        throw std::runtime_error(std::string("cannot accept a connection: ") + std::strerror(errno));
    handle(connection);
}

void PageServer::run()
{
    for (;;) {
        const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0)
            continue; // EINTR, or a client that went away before being accepted
        std::thread([this, connection] { handle(connection); }).detach();
    }
}
