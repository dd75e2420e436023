#include "phone/video_receiver.h"

#include <algorithm>
#include <cstring>

#include "video/video_wire.h"

namespace vm::phone {

using video::DatagramType;
using video::Header;
using video::kHeaderSize;
using video::kSealedChunkSize;
using video::kTagSize;

void VideoReceiver::setKey(uint8_t id, Bytes key) {
    keyID_ = id;
    key_ = std::move(key);
    if (unknownKey_ && *unknownKey_ == id) unknownKey_.reset();
}

VideoReceiver::Pending& VideoReceiver::pendingFor(uint32_t seq, double now) {
    auto it = pending_.find(seq);
    if (it != pending_.end()) return it->second;
    // Frames between the last one we know and this one were lost whole: hold a
    // place for each so that we ask for them too.
    if (next_ && newer(seq, *next_)) {
        uint32_t gap = seq - *next_;
        if (gap <= kMaxPending) {
            for (uint32_t s = *next_; s != seq; ++s)
                if (!pending_.count(s)) pending_[s].firstSeen = now;
        }
    }
    Pending& f = pending_[seq];
    f.firstSeen = now;
    return f;
}

void VideoReceiver::openInto(Pending& f, uint32_t seq, uint16_t index, const Bytes& sealed, bool resent) {
    if (f.sealed[index]) return;
    Header h;
    h.type = static_cast<uint8_t>(DatagramType::data);
    h.keyID = f.keyID;
    h.seq = seq;
    h.index = index;
    h.count = f.count;
    h.timestamp = f.timestamp;
    auto plain = video::openChunk(sealed.data(), sealed.size(), h.encode(), key_);
    if (!plain) {
        ++stats_.badTag;
        return;
    }
    f.sealed[index] = sealed;
    f.plain[index] = std::move(*plain);
    ++f.have;
    if (resent && f.asked[index]) ++stats_.resent;
}

void VideoReceiver::tryParity(uint32_t seq, Pending& f) {
    if (!f.known || f.complete() || f.parityCount == 0) return;
    const size_t k = f.count, p = f.parityCount;
    for (const auto& [j, body] : f.parity) {
        std::optional<size_t> missing;
        bool several = false;
        for (size_t i = j; i < k; i += p) {
            if (f.sealed[i]) continue;
            if (missing) {
                several = true;
                break;
            }
            missing = i;
        }
        if (!missing || several) continue;
        // The XOR of the group's other sealed chunks, each padded to full size, leaves the lost one.
        Bytes rebuilt(body);
        for (size_t i = j; i < k; i += p) {
            if (i == *missing) continue;
            const Bytes& s = *f.sealed[i];
            for (size_t b = 0; b < s.size(); ++b) rebuilt[b] ^= s[b];
        }
        size_t len = kSealedChunkSize;
        if (*missing == k - 1) {
            uint64_t before = static_cast<uint64_t>(kSealedChunkSize) * (k - 1);
            if (f.sealedTotal < before + kTagSize || f.sealedTotal > before + kSealedChunkSize) continue;
            len = f.sealedTotal - before;
        }
        rebuilt.resize(len);
        size_t had = f.have;
        openInto(f, seq, static_cast<uint16_t>(*missing), rebuilt, false);
        if (f.have > had) ++stats_.recovered;
        if (f.complete()) return;
    }
}

void VideoReceiver::feed(const uint8_t* p, size_t n, double now) {
    ++stats_.datagrams;
    auto h = Header::decode(p, n);
    if (!h || h->type > 2 || n > video::kParityDatagramSize) {
        ++stats_.malformed;
        return;
    }
    const uint8_t* body = p + kHeaderSize;
    const size_t bodyLen = n - kHeaderSize;
    if (h->type != static_cast<uint8_t>(DatagramType::parity) && h->keyID != keyID_) {
        ++stats_.wrongKey;
        unknownKey_ = h->keyID;
        return;
    }
    if (h->type == static_cast<uint8_t>(DatagramType::params)) {
        auto plain = video::openChunk(body, bodyLen, h->encode(), key_);
        if (!plain) {
            ++stats_.badTag;
            return;
        }
        ++stats_.params;
        params_ = std::move(*plain);
        return;
    }
    if (h->count == 0 || h->index >= (h->type == 1 ? h->count : video::kMaxParity)) {
        ++stats_.malformed;
        return;
    }
    if (next_ && !newer(h->seq, *next_) && h->seq != *next_) {
        ++stats_.stale;
        return;
    }
    if (h->type == static_cast<uint8_t>(DatagramType::parity)) {
        if (bodyLen != 1 + 4 + kSealedChunkSize) {
            ++stats_.malformed;
            return;
        }
        uint8_t pc = body[0];
        uint32_t total = (uint32_t{body[1]} << 24) | (uint32_t{body[2]} << 16) | (uint32_t{body[3]} << 8) | body[4];
        if (pc == 0 || pc > video::kMaxParity || h->index >= pc) {
            ++stats_.malformed;
            return;
        }
        // Parity is not sealed: it only ever helps a frame whose data chunks opened.
        auto it = pending_.find(h->seq);
        if (it == pending_.end() || !it->second.known) {
            // Except where its group has a single chunk: then it is that chunk, and
            // the seal proves it (a lost one-chunk frame comes back this way).
            if (h->count > pc || h->index >= h->count) return;
            size_t len = kSealedChunkSize;
            if (h->index + 1u == h->count) {
                uint64_t before = static_cast<uint64_t>(kSealedChunkSize) * (h->count - 1u);
                if (total < before + kTagSize || total > before + kSealedChunkSize) return;
                len = total - before;
            }
            Header dh = *h;
            dh.type = static_cast<uint8_t>(DatagramType::data);
            if (dh.keyID != keyID_) return;
            auto plain = video::openChunk(body + 5, len, dh.encode(), key_);
            if (!plain) return;
            if (!next_) next_ = h->seq;
            Pending& f = pendingFor(h->seq, now);
            if (!f.known) learn(f, *h);
            if (!f.sealed[h->index]) {
                f.sealed[h->index] = Bytes(body + 5, body + 5 + len);
                f.plain[h->index] = std::move(*plain);
                ++f.have;
                ++stats_.recovered;
            }
            keepBounded();
            return;
        }
        Pending& f = it->second;
        if (h->count != f.count) {
            ++stats_.malformed;
            return;
        }
        f.parityCount = pc;
        f.sealedTotal = total;
        f.parity[h->index] = Bytes(body + 5, body + 5 + kSealedChunkSize);
        tryParity(h->seq, f);
        return;
    }
    // A data chunk: only the last may be short.
    if (bodyLen < kTagSize || bodyLen > kSealedChunkSize ||
        (h->index + 1u < h->count && bodyLen != kSealedChunkSize)) {
        ++stats_.malformed;
        return;
    }
    auto plain = video::openChunk(body, bodyLen, h->encode(), key_);
    if (!plain) {
        ++stats_.badTag;
        return;
    }
    if (!next_) next_ = h->seq;
    Pending& f = pendingFor(h->seq, now);
    if (!f.known) {
        learn(f, *h);
        // Parity that came before we knew the frame's size must agree with it.
        if (f.parityCount && f.parityCount > f.count) {
            f.parity.clear();
            f.parityCount = 0;
        }
    } else if (f.count != h->count || f.timestamp != h->timestamp) {
        ++stats_.malformed;
        return;
    }
    if (f.sealed[h->index]) {
        ++stats_.duplicates;
        return;
    }
    f.sealed[h->index] = Bytes(body, body + bodyLen);
    f.plain[h->index] = std::move(*plain);
    ++f.have;
    // Only a chunk we named, arriving after we named it, came because we asked.
    if (f.asked[h->index]) ++stats_.resent;
    tryParity(h->seq, f);
    keepBounded();
}

void VideoReceiver::keepBounded() {
    // The frames held, and the chunk places they keep, stay bounded: the oldest go first.
    while (pending_.size() > kMaxPending || heldChunks_ > kMaxHeldChunks) {
        auto oldest = pending_.begin();
        if (next_ && oldest->first == *next_) next_ = *next_ + 1;
        if (!oldest->second.complete()) {
            ++stats_.unrecoverable;
            gaveUp_ = true;
        }
        forget(oldest);
    }
}

void VideoReceiver::forget(std::map<uint32_t, Pending>::iterator it) {
    if (it->second.known) heldChunks_ -= it->second.count;
    pending_.erase(it);
}

void VideoReceiver::learn(Pending& f, const video::Header& h) {
    f.learn(h);
    heldChunks_ += f.count;
}

std::vector<ReceivedFrame> VideoReceiver::takeFrames(double now) {
    std::vector<ReceivedFrame> out;
    while (next_) {
        auto it = pending_.find(*next_);
        if (it == pending_.end()) {
            // Nothing of the next frame yet: skip ahead only when later frames exist.
            if (pending_.empty()) break;
            uint32_t first = pending_.begin()->first;
            if (!newer(first, *next_)) break;
            next_ = first;
            continue;
        }
        Pending& f = it->second;
        if (f.complete()) {
            ReceivedFrame fr;
            fr.seq = it->first;
            fr.timestamp = f.timestamp;
            size_t size = 0;
            for (const auto& c : f.plain) size += c->size();
            fr.data.resize(size);
            size_t at = 0;
            // A hostile agent may seal chunks with nothing inside: copy by range, which an
            // empty frame (a null data pointer) cannot trip.
            for (const auto& c : f.plain) {
                std::copy(c->begin(), c->end(), fr.data.begin() + static_cast<std::ptrdiff_t>(at));
                at += c->size();
            }
            ++stats_.frames;
            out.push_back(std::move(fr));
        } else if (now - f.firstSeen > kGiveUpAfter) {
            ++stats_.unrecoverable;
            gaveUp_ = true;
        } else {
            break;
        }
        forget(it);
        next_ = *next_ + 1;
    }
    return out;
}

double VideoReceiver::expectedBy(const Pending& f) const {
    if (!f.known) return f.firstSeen;
    size_t parity = f.parityCount ? f.parityCount : video::parityCount(f.count, fecDivisor_);
    return f.firstSeen + video::frameSendSeconds(f.count, parity);
}

std::vector<ResendRequest> VideoReceiver::resendRequests(double now) {
    std::vector<ResendRequest> out;
    // A frame is only asked for once something newer arrived or it has waited a while.
    const std::optional<uint32_t> newest = pending_.empty() ? std::nullopt
                                                            : std::optional<uint32_t>(pending_.rbegin()->first);
    for (auto& [seq, f] : pending_) {
        if (f.complete()) continue;
        bool newerSeen = newest && newer(*newest, seq);
        // A newer frame's datagram means this one has been sent whole; otherwise wait
        // until its last datagram is overdue.
        if (!newerSeen && now - expectedBy(f) < kAskAfter) continue;
        if (f.asks >= kMaxAsks) continue;
        if (f.asks > 0 && now - f.lastAsked < kAskAgainAfter) continue;
        ResendRequest r;
        r.seq = seq;
        if (!f.known) {
            r.indices.push_back(0);  // learn the frame's size first
        } else {
            for (size_t i = 0; i < f.count && r.indices.size() < 256; ++i)
                if (!f.sealed[i]) {
                    r.indices.push_back(static_cast<uint16_t>(i));
                    f.asked[i] = true;
                }
            if (!f.counted) {
                f.counted = true;
                stats_.lostChunks += static_cast<int64_t>(f.count - f.have);
            }
        }
        f.asks += 1;
        f.lastAsked = now;
        out.push_back(std::move(r));
    }
    return out;
}

std::optional<Bytes> VideoReceiver::takeParams() {
    auto p = std::move(params_);
    params_.reset();
    return p;
}

bool VideoReceiver::takeGaveUp() {
    bool g = gaveUp_;
    gaveUp_ = false;
    return g;
}

}  // namespace vm::phone
