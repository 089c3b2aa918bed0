// A static HTTP/1.1 server for the benchmarks. It serves every file of a folder
// from memory on several loopback ports (each port stands for one host), keeps
// connections alive and can hold every answer back for a fixed delay. It runs
// as its own process so that it never shares the measured program's event loop.
//
//   quillora-bench-server ROOT PORTFILE [--ports N] [--delayed-ports N] [--delay-ms MS]
//                         [--lifetime S]
//
// PORTFILE receives one line per port: "plain <port>" or "delayed <port>". The
// server stops on SIGTERM, and by itself after its lifetime (900 s unless given).
// "@HOST@" in a file is answered as 127.0.0.1 and the port it was asked on, so
// that a page can name its own server's address.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

struct File
{
    std::string body;
    bool namesHost = false; // holds "@HOST@"
};
using Corpus = std::map<std::string, File>;
const std::string hostMark = "@HOST@";

Corpus loadCorpus(const std::filesystem::path &root)
{
    Corpus corpus;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(root)) {
        if (!entry.is_regular_file())
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::string path(1, '/');
        path += std::filesystem::relative(entry.path(), root).generic_string();
        const bool namesHost = body.find(hostMark) != std::string::npos;
        corpus[path] = {std::move(body), namesHost};
    }
    return corpus;
}

bool sendAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        data += sent;
        size -= size_t(sent);
    }
    return true;
}

std::string withHost(std::string body, const std::string &host)
{
    for (size_t at = body.find(hostMark); at != std::string::npos;
         at = body.find(hostMark, at + host.size()))
        body.replace(at, hostMark.size(), host);
    return body;
}

const char *contentType(const std::string &path)
{
    if (path.ends_with(".txt"))
        return "text/plain";
    if (path.ends_with(".xml"))
        return "application/xml";
    if (path.ends_with(".gz"))
        return "application/gzip";
    return "text/html; charset=utf-8";
}

bool headerSaysClose(const std::string &head)
{
    std::string lower(head);
    for (char &c : lower)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return lower.find("\r\nconnection: close") != std::string::npos;
}

void serveConnection(int fd, const Corpus &corpus, std::chrono::milliseconds delay,
                     const std::string &host)
{
    std::string pending;
    char buffer[16384];
    for (;;) {
        size_t headEnd;
        while ((headEnd = pending.find("\r\n\r\n")) == std::string::npos) {
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0) {
                ::close(fd);
                return;
            }
            pending.append(buffer, size_t(got));
        }
        const std::string head = pending.substr(0, headEnd + 2);
        pending.erase(0, headEnd + 4); // requests here never carry a body
        const size_t pathStart = head.find(' ');
        const size_t pathEnd = head.find(' ', pathStart + 1);
        std::string path = head.substr(pathStart + 1, pathEnd - pathStart - 1);
        if (const size_t query = path.find('?'); query != std::string::npos)
            path.resize(query);
        const bool close = headerSaysClose(head);
        if (delay.count() > 0)
            std::this_thread::sleep_for(delay);

        const auto found = corpus.find(path);
        static const std::string missing = "not found\n";
        std::string named;
        if (found != corpus.end() && found->second.namesHost)
            named = withHost(found->second.body, host);
        const std::string &body = found == corpus.end()     ? missing
                                  : found->second.namesHost ? named
                                                            : found->second.body;
        const char *type = contentType(path);
        const std::string header =
            std::string(found == corpus.end() ? "HTTP/1.1 404 Not Found" : "HTTP/1.1 200 OK") +
            "\r\nContent-Type: " + type + "\r\nContent-Length: " + std::to_string(body.size()) +
            (close ? "\r\nConnection: close" : "") + "\r\n\r\n";
        if (!sendAll(fd, header.data(), header.size()) || !sendAll(fd, body.data(), body.size()) ||
            close) {
            ::close(fd);
            return;
        }
    }
}

int listenOnLoopback()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(fd, 4096) != 0) {
        std::perror("listen");
        std::exit(1);
    }
    return fd;
}

int portOf(int fd)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    return ntohs(address.sin_port);
}

void acceptLoop(int listener, const Corpus &corpus, std::chrono::milliseconds delay)
{
    const std::string host = "127.0.0.1:" + std::to_string(portOf(listener));
    for (;;) {
        const int fd = ::accept(listener, nullptr, nullptr);
        if (fd < 0)
            continue;
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::thread(serveConnection, fd, std::cref(corpus), delay, host).detach();
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: %s ROOT PORTFILE [--ports N] [--delayed-ports N] "
                     "[--delay-ms MS] [--lifetime S]\n",
                     argv[0]);
        return 2;
    }
    int plainPorts = 1;
    int delayedPorts = 0;
    int delayMs = 100;
    int lifetimeS = 900;
    for (int i = 3; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const int value = std::atoi(argv[i + 1]);
        if (option == "--ports")
            plainPorts = value;
        else if (option == "--delayed-ports")
            delayedPorts = value;
        else if (option == "--delay-ms")
            delayMs = value;
        else if (option == "--lifetime")
            lifetimeS = value;
    }
    std::signal(SIGPIPE, SIG_IGN);
    const Corpus corpus = loadCorpus(argv[1]);

    std::ofstream portFile(std::string(argv[2]) + ".part");
    std::vector<std::thread> loops;
    for (int i = 0; i < plainPorts + delayedPorts; ++i) {
        const bool delayed = i >= plainPorts;
        const int listener = listenOnLoopback();
        portFile << (delayed ? "delayed " : "plain ") << portOf(listener) << '\n';
        loops.emplace_back(acceptLoop, listener, std::cref(corpus),
                           std::chrono::milliseconds(delayed ? delayMs : 0));
    }
    portFile.close();
    // Renamed only when complete, so a reader never sees half the ports.
    std::filesystem::rename(std::string(argv[2]) + ".part", argv[2]);

    std::this_thread::sleep_for(std::chrono::seconds(lifetimeS));
    std::_Exit(0);
}
