#pragma once
// The phone watching the screen: fetches the video key over the control link,
// registers its own UDP port, receives, repairs and decodes the video, and sums
// it up in one line.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "phone/phone_link.h"

namespace vm::phone {

class VideoDecoder;
struct ReceiverStats;

struct VideoOptions {
    std::string phoneId;
    double seconds = 5;
    double dropPercent = 0;   // datagrams thrown away on purpose, to exercise the repairs
    uint32_t dropSeed = 1;
    std::optional<int> level;      // "VQ<level>"
    std::optional<int> fecDivisor; // "VF<n>"
    std::optional<std::string> savePng;
    // Lines sent again with every registration (a session repeats its "VD"; the
    // agent drops one that arrives while it is still busy with the display).
    std::vector<std::string> repeatLines;
    // Opens a fresh control link when the agent closes ours (it says BYE to every
    // phone when one is unpaired); absent: the video ends with the link.
    std::function<std::unique_ptr<MessageLink>()> reconnect;
    // For a window that plays the video, all called on the thread running it: a
    // picture came out (with its frame's encoded size and capture-to-picture latency);
    // each turn of the loop, with the link for more lines and the counts so far,
    // false ending the video (with it `seconds` is no limit); and the lines the
    // agent pushes that the video does not use itself (without it they are logged).
    std::function<void(const VideoDecoder&, size_t frameBytes, double latencyMs)> onPicture;
    std::function<bool(MessageLink&, const ReceiverStats&)> onTurn;
    std::function<void(const std::string&)> onLine;
};

struct VideoSummary {
    int64_t frames = 0, decoded = 0, keyFrames = 0, skipped = 0;
    int64_t decodedAfterKeyChange = 0;
    int64_t lost = 0, recovered = 0, resent = 0, unrecoverable = 0, decodeErrors = 0;
    int width = 0, height = 0;
    int keyNumber = 0, keyChanges = 0;
    double latencyMedianMs = 0, latencyP99Ms = 0;
    std::string line() const;
};

// The q-quantile (0..1) of the values, nearest rank; 0 for none.
double percentile(std::vector<double> v, double q);

// Runs the video for `opt.seconds` over an open control link whose "ID" was sent;
// `link` is replaced when it had to be opened again. Fills `summary`; returns an
// exit code (phone_protocol.h).
int runVideo(std::unique_ptr<MessageLink>& link, const VideoOptions& opt, const Output& io, VideoSummary* summary);

}  // namespace vm::phone
