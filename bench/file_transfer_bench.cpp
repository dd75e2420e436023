// File channel throughput on loopback, next to a plain TLS-PSK transfer as the baseline.
//
// Each round runs, one after the other: a plain OpenSSL TLS 1.2 PSK transfer (same
// cipher, same client), an upload through the agent's file channel into a received
// folder, and a fast download of an offered file. The phone side is the same small
// client for all of them, reading or writing memory, so the figures compare what the
// agent does with the bytes. Rounds interleave so a busy machine hurts all alike;
// the medians and their ratios to the baseline are printed, as wall-clock rates and
// as bytes per second of processor time (client and agent together), which a machine
// busy with other work disturbs less.
//
//   file_transfer_bench [megabytes per transfer, default 256] [rounds, default 5] [folder]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/base64.h"
#include "base/clock.h"
#include "base/dispatch.h"
#include "base/log.h"
#include "control/ctl_peer.h"
#include "control/ctl_send.h"
#include "control/phone_state.h"
#include "files/file_channel.h"
#include "files/file_receive.h"
#include "files/file_send.h"
#include "files/long_text.h"

namespace {

namespace fs = std::filesystem;
using vm::Bytes;

const std::string kIdentity = "bench-phone.0123456789ab";
const Bytes kKey(32, 0x42);
constexpr size_t kIo = 256 * 1024;  // what a plain program hands to SSL_read / SSL_write

double seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double cpuSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// One transfer's rates in MB/s: by the wall clock and by processor time.
struct Rate {
    double wall = 0, cpu = 0;
};

struct Timer {
    double wall0 = seconds(), cpu0 = cpuSeconds();
    Rate rate(size_t bytes) const {
        const double b = static_cast<double>(bytes) / 1e6;
        return {b / (seconds() - wall0), b / (cpuSeconds() - cpu0)};
    }
};

unsigned int clientPsk(SSL*, const char*, char* id, unsigned int maxId, unsigned char* psk, unsigned int maxPsk) {
    if (kIdentity.size() + 1 > maxId || kKey.size() > maxPsk) return 0;
    std::memcpy(id, kIdentity.c_str(), kIdentity.size() + 1);
    std::copy(kKey.begin(), kKey.end(), psk);
    return static_cast<unsigned int>(kKey.size());
}

unsigned int serverPsk(SSL*, const char* identity, unsigned char* psk, unsigned int maxPsk) {
    if (!identity || kIdentity != identity || kKey.size() > maxPsk) return 0;
    std::copy(kKey.begin(), kKey.end(), psk);
    return static_cast<unsigned int>(kKey.size());
}

SSL_CTX* context(bool server) {
    SSL_CTX* ctx = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_security_level(ctx, 1);
    SSL_CTX_set_cipher_list(ctx, "PSK-AES128-GCM-SHA256");
    if (server) {
        SSL_CTX_set_psk_server_callback(ctx, serverPsk);
    } else {
        SSL_CTX_set_psk_client_callback(ctx, clientPsk);
    }
    return ctx;
}

int connectTo(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        std::perror("connect");
        std::exit(1);
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// The phone's side: one blocking TLS client.
struct Client {
    SSL_CTX* ctx = context(false);
    SSL* ssl = nullptr;
    int fd = -1;
    explicit Client(uint16_t port) {
        fd = connectTo(port);
        ssl = SSL_new(ctx);
        SSL_set_fd(ssl, fd);
        if (SSL_connect(ssl) != 1) {
            std::fprintf(stderr, "handshake failed\n");
            std::exit(1);
        }
    }
    ~Client() {
        SSL_free(ssl);
        SSL_CTX_free(ctx);
        ::close(fd);
    }
    void sendAll(const uint8_t* p, size_t n) {
        size_t w = 0;
        if (n > 0 && SSL_write_ex(ssl, p, n, &w) != 1) {
            std::fprintf(stderr, "write failed\n");
            std::exit(1);
        }
    }
    // Sends `total` bytes from memory in kIo pieces.
    void sendBytes(size_t total) {
        static const std::vector<uint8_t> block(kIo, 0xA5);
        for (size_t left = total; left > 0;) {
            const size_t n = std::min(left, block.size());
            sendAll(block.data(), n);
            left -= n;
        }
    }
    // Reads until the stream ends; the byte count.
    size_t readToEnd() {
        static std::vector<uint8_t> buf(kIo);
        size_t total = 0, n = 0;
        while (SSL_read_ex(ssl, buf.data(), buf.size(), &n) == 1) total += n;
        return total;
    }
};

// The baseline: a plain server that reads (or writes) memory with blocking calls.
Rate plainTransfer(size_t bytes, bool toServer) {
    const int lfd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(lfd, 4);
    socklen_t len = sizeof a;
    ::getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len);
    const uint16_t port = ntohs(a.sin_port);
    size_t got = 0;
    std::thread server([&] {
        const int fd = ::accept(lfd, nullptr, nullptr);
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        SSL_CTX* ctx = context(true);
        SSL* ssl = SSL_new(ctx);
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) == 1) {
            std::vector<uint8_t> buf(kIo, 0x5A);
            size_t n = 0;
            if (toServer) {
                while (got < bytes && SSL_read_ex(ssl, buf.data(), buf.size(), &n) == 1) got += n;
                SSL_write_ex(ssl, "OK\n", 3, &n);
            } else {
                for (size_t left = bytes; left > 0;) {
                    const size_t k = std::min(left, buf.size());
                    if (SSL_write_ex(ssl, buf.data(), k, &n) != 1) break;
                    left -= k;
                }
            }
            SSL_shutdown(ssl);
        }
        SSL_free(ssl);
        SSL_CTX_free(ctx);
        ::close(fd);
    });
    Client c(port);
    const Timer timer;
    size_t moved = 0;
    if (toServer) {
        c.sendBytes(bytes);
        moved = bytes;
        c.readToEnd();
    } else {
        moved = c.readToEnd();
    }
    server.join();
    const Rate rate = timer.rate(bytes);
    ::close(lfd);
    if (moved != bytes || (toServer && got != bytes)) {
        std::fprintf(stderr, "baseline moved %zu of %zu bytes\n", toServer ? got : moved, bytes);
        std::exit(1);
    }
    return rate;
}

class NullPeer final : public vm::CtlPeer {
public:
    NullPeer() : CtlPeer(0) {}
    void send(const Bytes&) override {}
    void sendThenCancel(const Bytes&) override {}
    void cancel() override {}
    std::string endpoint() const override { return "127.0.0.1:1"; }
    std::optional<uint32_t> ipv4() const override { return htonl(INADDR_LOOPBACK); }
};

// The agent's file rooms on a channel of their own.
struct Agent {
    vm::SystemClock clock;
    std::string dir;
    vm::Logger log;
    vm::PhoneState phone{clock.now()};
    vm::CtlSender sender{phone, nullptr};
    vm::SerialQueue fileQueue{"local.umo.inputd.file"};
    vm::SerialQueue offers{"offers"};
    vm::FileReceive rx;
    vm::FileSend tx{clock, log, phone, sender, offers, fileQueue};
    vm::LongText text{vm::LongTextDeps{clock, log, nullptr, nullptr, nullptr}};
    vm::FileChannel channel{clock, log, rx, tx, text, fileQueue, 0};
    int64_t offerId = 0;

    explicit Agent(const std::string& folder)
        : dir(folder), log(folder + "/logs", clock), rx(clock, log, folder + "/Vellomark", "") {
        phone.setPhoneConn(std::make_shared<NullPeer>());
        channel.restart({{kIdentity, kKey}});
    }

    Rate upload(size_t bytes) {
        Client c(channel.boundPort());
        const std::string line =
            "PUT " + std::to_string(bytes) + " " + vm::base64Encode(std::string("bench.bin")) + "\n";
        const Timer timer;
        c.sendAll(reinterpret_cast<const uint8_t*>(line.data()), line.size());
        c.sendBytes(bytes);
        std::vector<uint8_t> reply(16);
        size_t n = 0;
        SSL_read_ex(c.ssl, reply.data(), reply.size(), &n);
        const Rate rate = timer.rate(bytes);
        const std::string path = dir + "/Vellomark/bench.bin";
        std::error_code ec;
        if (std::string(reply.begin(), reply.begin() + static_cast<long>(n)) != "OK\n" ||
            fs::file_size(path, ec) != bytes) {
            std::fprintf(stderr, "upload failed\n");
            std::exit(1);
        }
        fs::remove(path, ec);
        return rate;
    }

    Rate download(const std::string& file, size_t bytes) {
        phone.phoneLastSeen.store(clock.now());
        tx.fileOfferStart(file);
        const std::string line = "GET " + std::to_string(++offerId) + " fast\n";
        Client c(channel.boundPort());
        const Timer timer;
        c.sendAll(reinterpret_cast<const uint8_t*>(line.data()), line.size());
        const size_t got = c.readToEnd();
        const Rate rate = timer.rate(bytes);
        if (got != bytes) {
            std::fprintf(stderr, "download moved %zu of %zu bytes\n", got, bytes);
            std::exit(1);
        }
        for (int i = 0; i < 500 && tx.offerBusy(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return rate;
    }
};

double median(const std::vector<Rate>& v, double Rate::*field) {
    std::vector<double> x;
    for (const auto& r : v) x.push_back(r.*field);
    std::sort(x.begin(), x.end());
    return x[x.size() / 2];
}

void summary(const char* what, const std::vector<Rate>& agent, const std::vector<Rate>& plain) {
    const double w = median(agent, &Rate::wall), bw = median(plain, &Rate::wall);
    const double c = median(agent, &Rate::cpu), bc = median(plain, &Rate::cpu);
    std::printf("%-16s %6.0f MB/s vs plain TLS-PSK %6.0f MB/s = %.2f×   per CPU-second %6.0f vs %6.0f MB = %.2f×\n",
                what, w, bw, w / bw, c, bc, c / bc);
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    const size_t mb = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    std::string folder = argc > 3 ? argv[3] : (fs::temp_directory_path() / "vm-file-bench-XXXXXX").string();
    if (argc <= 3) folder = ::mkdtemp(folder.data());
    fs::create_directories(folder);
    const size_t bytes = mb * 1000 * 1000;

    // The file to download, written once so it sits in the page cache.
    const std::string offered = folder + "/offered.bin";
    {
        std::ofstream f(offered, std::ios::binary);
        const std::vector<char> block(1 << 20, 'd');
        for (size_t left = bytes; left > 0;) {
            const size_t n = std::min(left, block.size());
            f.write(block.data(), static_cast<std::streamsize>(n));
            left -= n;
        }
    }
    std::printf("file channel on loopback: %zu MB per transfer, %d rounds, folder %s\n", mb, rounds, folder.c_str());
    std::vector<Rate> baseUp, up, baseDown, down;
    {
        Agent agent(folder);
        for (int r = 0; r < rounds; ++r) {
            baseUp.push_back(plainTransfer(bytes, true));
            up.push_back(agent.upload(bytes));
            baseDown.push_back(plainTransfer(bytes, false));
            down.push_back(agent.download(offered, bytes));
            std::printf("round %d: plain→ %.0f  upload %.0f  |  plain← %.0f  download %.0f  MB/s\n", r + 1,
                        baseUp.back().wall, up.back().wall, baseDown.back().wall, down.back().wall);
            std::fflush(stdout);
        }
    }
    std::printf("medians of %d rounds:\n", rounds);
    summary("upload", up, baseUp);
    summary("download (fast)", down, baseDown);
    std::error_code ec;
    if (argc <= 3) fs::remove_all(folder, ec);
    return 0;
}
