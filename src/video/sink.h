#pragma once
// The video sender: cuts encoded frames into sealed chunks with parity, sends
// them by UDP to the registered phones, keeps the last frames for resends, and
// keeps the table of receivers fed by control lines and punch datagrams.
#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/bytes.h"
#include "video/video_key.h"
#include "video/video_stats.h"

namespace vm {
class Clock;
class Logger;
class Settings;
}  // namespace vm

namespace vm::video {

// The video port is held by another process (most likely a second agent). The agent
// cannot stream without it, so whoever builds the sender treats this as fatal.
class PortInUse : public std::runtime_error {
public:
    explicit PortInUse(uint16_t port);
    uint16_t port() const { return port_; }

private:
    uint16_t port_;
};

struct SinkDeps {
    const Clock& clock;
    Logger& log;  // streamLog
    Settings& settings;  // "videoFrameSeq"
    VideoKey& key;
    VideoStats& stats;
    const std::atomic<bool>& videoAllowed;  // the video gate
    // The JPEG thumbnail of the held frame at the given width, when there is an encoder and a frame.
    std::function<std::optional<Bytes>(double maxW)> thumbnailJPEG;
};

class Sink {
public:
    static constexpr const char* kSeqKey = "videoFrameSeq";

    // A phone address keeps at most this many registered ports; a new one pushes out the oldest.
    static constexpr size_t kMaxPortsPerAddress = 4;

    // Opens the UDP socket on `port` (0: any free port, for tests) and starts the receive thread.
    // Throws PortInUse when another socket holds the port, std::runtime_error on other failures.
    Sink(SinkDeps deps, uint16_t port);
    ~Sink();  // stops the receive thread (tests); the agent's sink lives for the process
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;

    uint16_t boundPort() const { return boundPort_; }

    // A video control line (without its leading "V") from the phone at `ip`
    // (IPv4, network byte order as it lies in the socket address).
    void control(const std::string& line, uint32_t ip);
    // Sends one encoded frame; `ts` is its capture time in microseconds since 1970.
    void sendFrame(const Bytes& frame, uint64_t ts);
    void sendParams(const Bytes& payload);
    // The live receivers; expires registrations 5 s old or older.
    std::vector<sockaddr_in> targets();
    std::optional<std::vector<Bytes>> thumbnailChunks();
    // The NAT punch text from `from` (called by the receive thread; public for tests).
    void punch(const std::string& text, const sockaddr_in& from);
    // One datagram read from the video socket (called by the receive thread; public
    // so the fuzz target feeds it without a socket).
    void onDatagram(const uint8_t* p, size_t n, const sockaddr_in& from);

    // `_sending`, read under the lock.
    bool sending();
    void setParamPayload(Bytes payload);
    std::optional<Bytes> paramPayload();

    std::atomic<bool> idrRequested{false};
    std::atomic<int> fecDivisor{5};
    std::atomic<int> requestedLevel{0};
    std::atomic<int64_t> nackTotal{0};
    uint32_t seq() const { return seq_.load(); }
    // Pacing sleeps between datagrams; tests and benchmarks may switch them off.
    void setPacing(bool on) { pacing_ = on; }

    // How the datagrams that are due together leave the socket: one sendto each, one
    // sendmmsg for all, or UDP segmentation offload (one send per run of equal-size
    // datagrams, the kernel cuts them). The best the kernel offers is the default.
    enum class SendMode { single, batched, segmented };
    void setSendMode(SendMode mode) { sendMode_ = mode; }
    SendMode sendMode() const { return sendMode_.load(); }
    // While pacing, the sender wakes at most this often and sends every datagram that
    // is due by then in one go: each datagram has an absolute deadline (first + index × gap),
    // so oversleeping never adds up over a frame.
    static constexpr double kPacingQuantum = 0.001;

private:
    void receiveLoop();
    // Keeps a frame's data datagrams (index = position) for resends.
    void rememberFrame(uint32_t seq, const std::vector<Bytes>& datagrams);
    void rememberLocked(uint32_t seq, uint16_t index, const Bytes& datagram);
    void resend(uint32_t seq, const std::vector<uint16_t>& indices, const sockaddr_in& to);
    void sendTo(const uint8_t* p, size_t n, const sockaddr_in& to);
    // Datagrams [from, to) of `all` to every receiver, in the current send mode.
    void sendBatch(const std::vector<Bytes>& all, size_t from, size_t to, const std::vector<sockaddr_in>& targets);
    void sendBatched(const std::vector<Bytes>& all, size_t from, size_t to, const sockaddr_in& target);
    // One run of equal-size datagrams (the last may be shorter) with segmentation offload; false when refused.
    bool sendSegmented(const std::vector<Bytes>& all, size_t from, size_t to, const sockaddr_in& target);
    void sendParamsTo(const Bytes& payload, const std::vector<sockaddr_in>& to);
    // Registers (ip, port) under the lock; true when it is a new receiver.
    bool addClientLocked(uint32_t ip, uint16_t portNet, double now);
    // Forgets addresses that have not registered for a long time; under the lock.
    void pruneAddressesLocked(double now);

    SinkDeps d_;
    int fd_ = -1;
    uint16_t boundPort_ = 0;
    std::mutex lock_;
    struct Client {
        sockaddr_in addr{};
        double at = 0;
    };
    struct NatEntry {
        uint16_t port = 0;  // network byte order
        double at = 0;
        int64_t secs = 0;  // seconds value of the last accepted punch: each is good once
    };
    std::map<std::string, Client> clients_;
    std::map<uint32_t, NatEntry> natPort_;
    std::map<uint32_t, double> controlSeen_;
    std::optional<Bytes> paramPayload_;
    bool sending_ = false;
    std::map<uint32_t, std::map<uint16_t, Bytes>> recent_;
    std::vector<uint32_t> recentOrder_;
    std::atomic<uint32_t> seq_{0};
    std::atomic<uint32_t> paramSeq_{0};
    std::atomic<int64_t> nackCount_{0};
    std::atomic<uint8_t> thumbGen_{0};
    int64_t plainRefused_ = 0;  // receive thread only
    double plainRefusedAt_ = 0;
    std::atomic<bool> pacing_{true};
    std::atomic<SendMode> sendMode_{SendMode::segmented};
    std::atomic<bool> stopping_{false};
    int wakeRead_ = -1;  // a byte written to wakeWrite_ ends the receive thread
    int wakeWrite_ = -1;
    std::thread receiver_;
};

}  // namespace vm::video
