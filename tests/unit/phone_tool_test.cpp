#include <sys/stat.h>

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <fstream>

#include "base/base64.h"
#include "base/crypto.h"
#include "control/ctl_msg.h"
#include "pairing/pair_store.h"
#include "pairing/pairing_crypto.h"
#include "phone/phone_flows.h"
#include "phone/phone_keyfile.h"
#include "phone/phone_protocol.h"

using namespace vm;
using namespace vm::phone;
namespace fs = std::filesystem;

namespace {

struct TempDir {
    std::string path;
    TempDir() {
        std::string t = (fs::temp_directory_path() / "vm-phone-XXXXXX").string();
        path = ::mkdtemp(t.data());
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

mode_t permsOf(const std::string& p) {
    struct stat st {};
    EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
    return st.st_mode & 07777;
}

PhoneKey sampleKey() {
    PhoneKey k;
    k.id = "0123456789abcdef";
    k.psk = Bytes(32);
    for (size_t i = 0; i < k.psk.size(); ++i) k.psk[i] = static_cast<uint8_t>(i * 7 + 1);
    k.identity = identityFor(k.id, k.psk);
    k.name = "Testphone \xed\x8f\xb0";  // "폰"
    return k;
}

struct Captured {
    std::vector<std::string> out, err;
    Output io() {
        return Output{[this](const std::string& s) { out.push_back(s); },
                      [this](const std::string& s) { err.push_back(s); }};
    }
};

// A scripted agent on the plain port: sees every datagram the phone sends and
// queues answers; waiting for an answer that is not there moves the fake clock.
class ScriptedPlain final : public DatagramLink {
public:
    explicit ScriptedPlain(FakeClock& c) : clock(c) {}
    std::function<void(const std::string&, ScriptedPlain&)> onSend;
    bool send(const std::string& text) override {
        sent.push_back(text);
        if (onSend) onSend(text, *this);
        return true;
    }
    std::optional<Bytes> receive(double timeout) override {
        if (!answers.empty()) {
            Bytes b = toBytes(answers.front());
            answers.pop_front();
            return b;
        }
        clock.advance(timeout);
        return std::nullopt;
    }
    size_t count(const std::string& prefix) const {
        size_t n = 0;
        for (const auto& s : sent) n += s.rfind(prefix, 0) == 0;
        return n;
    }
    FakeClock& clock;
    std::vector<std::string> sent;
    std::deque<std::string> answers;
};

class ScriptedControl final : public MessageLink {
public:
    explicit ScriptedControl(FakeClock& c) : clock(c) {}
    std::function<void(const std::string&, ScriptedControl&)> onSend;
    bool send(const std::string& text) override {
        if (isClosed) return false;
        sent.push_back(text);
        if (onSend) onSend(text, *this);
        return true;
    }
    std::optional<Bytes> receive(double timeout) override {
        if (!answers.empty()) {
            Bytes b = toBytes(answers.front());
            answers.pop_front();
            return b;
        }
        if (closeWhenDrained) {
            isClosed = true;
            return std::nullopt;
        }
        clock.advance(timeout);
        return std::nullopt;
    }
    bool closed() const override { return isClosed; }
    FakeClock& clock;
    std::vector<std::string> sent;
    std::deque<std::string> answers;
    bool closeWhenDrained = false;
    bool isClosed = false;
};

// The phone's two pairing messages as the fake agent reads them.
struct SeenPair2 {
    std::string phoneId;
    std::string name;
    Bytes commit;
};
std::optional<SeenPair2> readPair2(const std::string& text) {
    auto w = ctlWords(text.substr(0, text.find('\n')));
    if (w.size() != 4 || w[0] != "PAIR2") return std::nullopt;
    auto name = base64Decode(w[2]);
    auto commit = base64Decode(w[3]);
    if (!name || !commit || commit->size() != kCommitBytes) return std::nullopt;
    return SeenPair2{w[1], toString(*name), *commit};
}
struct SeenPopen {
    int n = 0;
    Bytes phonePub;
};
std::optional<SeenPopen> readPopen(const std::string& text) {
    auto w = ctlWords(text.substr(0, text.find('\n')));
    if (w.size() != 3 || w[0] != "POPEN") return std::nullopt;
    auto n = parseRequestNumber(w[1]);
    auto pub = base64Decode(w[2]);
    if (!n || !pub) return std::nullopt;
    return SeenPopen{*n, *pub};
}

// The agent's half of pairing, enough to answer one phone.
struct FakePairingAgent {
    P256Key key = P256Key::generate();
    int n = 5;
    Bytes commit;
    std::optional<PairDerived> derived;
    std::string decision = "allow";  // allow, deny, busy, badmac, silent

    void attach(ScriptedPlain& link) {
        link.onSend = [this](const std::string& text, ScriptedPlain& l) {
            if (auto p = readPair2(text)) {
                if (decision == "busy") {
                    l.answers.push_back("BUSY\n");
                    return;
                }
                commit = p->commit;
                l.answers.push_back("PAIRING2 " + std::to_string(n) + " " + base64Encode(key.publicX963()) + "\n");
            } else if (auto o = readPopen(text)) {
                if (o->n != n || pairCommit(o->phonePub) != commit || derived) return;
                auto shared = key.agree(o->phonePub);
                derived = pairDerive(*shared, o->phonePub, key.publicX963());
                if (decision == "deny") {
                    l.answers.push_back("DENIED " + std::to_string(n) + "\n");
                } else if (decision == "allow") {
                    l.answers.push_back("PAIRED2 " + std::to_string(n) + " " +
                                        base64Encode(pairConfirm(derived->psk, n)) + "\n");
                } else if (decision == "badmac") {
                    l.answers.push_back("PAIRED2 " + std::to_string(n) + " " +
                                        base64Encode(pairConfirm(derived->psk, n + 1)) + "\n");
                }
            }
        };
    }
};

}  // namespace

TEST(PhoneKeyFile, RoundTripIsPrivate) {
    TempDir tmp;
    std::string path = tmp.path + "/config/vellomark-phone/key.json";  // folders missing
    PhoneKey k = sampleKey();
    std::string err;
    ASSERT_TRUE(writeKeyFile(path, k, &err)) << err;
    EXPECT_EQ(permsOf(path), 0600u);
    EXPECT_EQ(permsOf(tmp.path + "/config/vellomark-phone"), 0700u);

    KeyFileRead r = readKeyFile(path);
    ASSERT_EQ(r.status, KeyFileStatus::Ok) << r.error;
    EXPECT_EQ(r.key.id, k.id);
    EXPECT_EQ(r.key.identity, k.id + "." + pskTag(k.psk));
    EXPECT_EQ(r.key.psk, k.psk);
    EXPECT_EQ(r.key.name, k.name);

    // Replacing keeps the mode and leaves no temporary file behind.
    k.name = "other";
    ASSERT_TRUE(writeKeyFile(path, k, &err)) << err;
    EXPECT_EQ(readKeyFile(path).key.name, "other");
    EXPECT_EQ(permsOf(path), 0600u);
    size_t files = 0;
    for (auto& e : fs::directory_iterator(tmp.path + "/config/vellomark-phone")) files += e.is_regular_file();
    EXPECT_EQ(files, 1u);
}

TEST(PhoneKeyFile, MissingAndMalformedFilesAreClearErrors) {
    TempDir tmp;
    std::string path = tmp.path + "/key.json";
    KeyFileRead r = readKeyFile(path);
    EXPECT_EQ(r.status, KeyFileStatus::Missing);
    EXPECT_NE(r.error.find(path), std::string::npos);

    auto badWith = [&](const std::string& text, const std::string& expect) {
        { std::ofstream(path) << text; }
        KeyFileRead b = readKeyFile(path);
        EXPECT_EQ(b.status, KeyFileStatus::Bad) << text;
        EXPECT_NE(b.error.find(path), std::string::npos) << b.error;
        EXPECT_NE(b.error.find(expect), std::string::npos) << b.error;
    };
    PhoneKey k = sampleKey();
    std::string psk = base64Encode(k.psk);
    badWith("{not json", "not valid JSON");
    badWith("[1,2]", "not a JSON object");
    badWith(R"({"id":"abc","psk":")" + psk + R"(","name":"n"})", "\"identity\" is missing");
    badWith(R"({"id":"abc","identity":7,"psk":")" + psk + R"(","name":"n"})", "\"identity\" is not a string");
    badWith(R"({"id":"abc","identity":"abc.x","psk":"AAAA","name":"n"})", "\"psk\" is not base64 of 32 bytes");
    badWith(R"({"id":"a b","identity":"a b.x","psk":")" + psk + R"(","name":"n"})", "not a valid phone id");
    badWith(R"({"id":"abc","identity":"abc.000000000000","psk":")" + psk + R"(","name":"n"})",
            "\"identity\" does not match");
    fs::remove(path);
    fs::create_directory(path);
    EXPECT_EQ(readKeyFile(path).status, KeyFileStatus::Bad);
}

TEST(PhoneMessages, Pair2AndPopenAreFourAndThreeWords) {
    Bytes commit(32);
    for (size_t i = 0; i < commit.size(); ++i) commit[i] = static_cast<uint8_t>(255 - i);
    std::string m = pair2Message("abc123", "My phone", commit);
    EXPECT_EQ(m.rfind("PAIR2 abc123 ", 0), 0u);
    EXPECT_EQ(m.back(), '\n');
    EXPECT_EQ(ctlWords(m.substr(0, m.size() - 1)).size(), 4u);  // the name's blank is hidden in base64
    auto p = readPair2(m);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->phoneId, "abc123");
    EXPECT_EQ(p->name, "My phone");
    EXPECT_EQ(p->commit, commit);

    Bytes pub(65, 4);
    std::string o = popenMessage(12, pub);
    EXPECT_EQ(o, "POPEN 12 " + base64Encode(pub) + "\n");
    auto po = readPopen(o);
    ASSERT_TRUE(po);
    EXPECT_EQ(po->n, 12);
    EXPECT_EQ(po->phonePub, pub);
}

TEST(PhoneMessages, AgentAnswersAreParsedStrictly) {
    Bytes mac(65, 4), conf(32, 9);
    auto p = parsePairing2("PAIRING2 7 " + base64Encode(mac) + "\n");
    ASSERT_TRUE(p);
    EXPECT_EQ(p->n, 7);
    EXPECT_EQ(p->macPub, mac);
    EXPECT_FALSE(parsePairing2("PAIRING2 7 " + base64Encode(Bytes(64, 4))));
    EXPECT_FALSE(parsePairing2("PAIRING2 -7 " + base64Encode(mac)));
    auto d = parsePaired2("PAIRED2 7 " + base64Encode(conf));
    ASSERT_TRUE(d);
    EXPECT_EQ(d->mac, conf);
    EXPECT_FALSE(parsePaired2("PAIRED2 7 " + base64Encode(Bytes(31))));
    EXPECT_EQ(parseDenied("DENIED 7\n"), 7);
    EXPECT_FALSE(parseDenied("DENIED"));
    EXPECT_TRUE(isBusy("BUSY\n"));
    EXPECT_FALSE(isBusy("BUSYX"));
    EXPECT_EQ(parseKnown("KNOWN 1"), true);
    EXPECT_EQ(parseKnown("KNOWN 0\n"), false);
    EXPECT_FALSE(parseKnown("KNOWN 2"));
    EXPECT_EQ(parseRequestNumber("42"), 42);
    for (const char* bad : {"", "0", "-1", "+1", "1x", " 1", "99999999999"}) EXPECT_FALSE(parseRequestNumber(bad)) << bad;
    EXPECT_EQ(messageLines(toBytes("A 1\r\n\nB\n")), (std::vector<std::string>{"A 1", "B"}));
}

TEST(PhoneMessages, PhoneIds) {
    std::string a = randomPhoneId(), b = randomPhoneId();
    EXPECT_EQ(a.size(), 16u);
    EXPECT_EQ(a.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(a, b);
    EXPECT_TRUE(validPhoneId(a));
    EXPECT_TRUE(validPhoneId("Phone_1-x"));
    for (const char* bad : {"", "a.b", "a b", "a\n", "ä"}) EXPECT_FALSE(validPhoneId(bad)) << bad;
    EXPECT_FALSE(validPhoneId(std::string(65, 'a')));
}

TEST(PhonePairing, ApprovedPairingYieldsAConfirmedKey) {
    FakeClock clock;
    ScriptedPlain link(clock);
    FakePairingAgent agent;
    agent.attach(link);
    Captured cap;
    PairResult r = runPairing(link, clock, PairOptions{"feedface00000001", "Tester", 120}, cap.io());
    ASSERT_EQ(r.exit, kExitOk);
    ASSERT_TRUE(r.key);
    ASSERT_TRUE(agent.derived);
    EXPECT_EQ(r.key->psk, agent.derived->psk);
    EXPECT_EQ(r.key->identity, "feedface00000001." + pskTag(agent.derived->psk));
    EXPECT_EQ(r.key->name, "Tester");
    EXPECT_EQ(cap.out, (std::vector<std::string>{"code: " + agent.derived->code, "request: 5"}));
    EXPECT_EQ(link.count("PAIR2 feedface00000001 "), 1u);
}

TEST(PhonePairing, RequestIsRetransmittedUntilTheAgentAnswers) {
    FakeClock clock;
    ScriptedPlain link(clock);
    FakePairingAgent agent;
    agent.attach(link);
    auto real = link.onSend;
    int ignored = 0;
    link.onSend = [&](const std::string& t, ScriptedPlain& l) {
        if (t.rfind("PAIR2", 0) == 0 && ignored < 3) {
            ++ignored;  // lost on the way
            return;
        }
        real(t, l);
    };
    Captured cap;
    PairResult r = runPairing(link, clock, PairOptions{"abc", "T", 120}, cap.io());
    EXPECT_EQ(r.exit, kExitOk);
    EXPECT_EQ(link.count("PAIR2 "), 4u);
}

TEST(PhonePairing, OutcomesOtherThanApprovalHaveTheirExitCodes) {
    struct Case {
        const char* decision;
        int exit;
    };
    for (Case c : {Case{"deny", kExitDenied}, Case{"busy", kExitBusy}, Case{"badmac", kExitMismatch},
                   Case{"silent", kExitNetwork}}) {
        FakeClock clock;
        ScriptedPlain link(clock);
        FakePairingAgent agent;
        agent.decision = c.decision;
        agent.attach(link);
        Captured cap;
        PairResult r = runPairing(link, clock, PairOptions{"abc", "T", 30}, cap.io());
        EXPECT_EQ(r.exit, c.exit) << c.decision;
        EXPECT_FALSE(r.key) << c.decision;
        if (std::string(c.decision) == "silent") {
            // The key is revealed a few times, not for the whole wait.
            EXPECT_EQ(link.count("POPEN 5 "), static_cast<size_t>(kPopenSends));
        }
    }
}

TEST(PhonePairing, NoAgentMeansNetworkErrorAfterRetrying) {
    FakeClock clock;
    ScriptedPlain link(clock);
    Captured cap;
    PairResult r = runPairing(link, clock, PairOptions{"abc", "T", 120}, cap.io());
    EXPECT_EQ(r.exit, kExitNetwork);
    EXPECT_EQ(link.count("PAIR2 "), static_cast<size_t>(kFirstAnswerSeconds / kRetransmitSeconds));
}

TEST(PhonePlainCommands, PingAndKnown) {
    FakeClock clock;
    ScriptedPlain link(clock);
    int pings = 0;
    link.onSend = [&](const std::string& t, ScriptedPlain& l) {
        if (t == "PING\n" && ++pings == 3) l.answers.push_back("PONG\n");
        if (t == "KNOWN abc.123\n") l.answers.push_back("KNOWN 1\n");
    };
    Captured cap;
    EXPECT_EQ(runPing(link, clock, 5, cap.io()), kExitOk);
    EXPECT_EQ(pings, 3);
    EXPECT_EQ(runKnown(link, clock, "abc.123", 5, cap.io()), kExitOk);
    EXPECT_EQ(cap.out, (std::vector<std::string>{"PONG", "KNOWN 1"}));

    ScriptedPlain silent(clock);
    EXPECT_EQ(runPing(silent, clock, 3, cap.io()), kExitNetwork);
    EXPECT_EQ(silent.count("PING"), 3u);
}

TEST(PhoneControl, SendsIdThenLinesAndWaitsForThePrefix) {
    FakeClock clock;
    ScriptedControl link(clock);
    link.onSend = [](const std::string& t, ScriptedControl& l) {
        if (t == "IS?\n") {
            l.answers.push_back("ID?\n");
            l.answers.push_back("HV 2\nIS com.example.us\n");
        }
    };
    Captured cap;
    CtlOptions opt;
    opt.phoneId = "abc";
    opt.lines = {"HELLO 1", "IS?"};
    opt.waitPrefix = "IS ";
    EXPECT_EQ(runCtl(link, clock, opt, cap.io()), kExitOk);
    EXPECT_EQ(link.sent, (std::vector<std::string>{"ID abc\n", "HELLO 1\n", "IS?\n", "ID abc\n"}));
    EXPECT_EQ(cap.out, (std::vector<std::string>{"ID?", "HV 2", "IS com.example.us"}));
}

TEST(PhoneControl, WaitTimesOutOrEndsWithTheConnection) {
    FakeClock clock;
    Captured cap;
    CtlOptions opt;
    opt.phoneId = "abc";
    opt.lines = {"VKEY?"};
    opt.waitPrefix = "VKEY ";
    opt.timeout = 4;

    ScriptedControl quiet(clock);
    double before = clock.monotonic();
    EXPECT_EQ(runCtl(quiet, clock, opt, cap.io()), kExitNetwork);
    EXPECT_GE(clock.monotonic() - before, 4.0);

    ScriptedControl bye(clock);
    bye.answers.push_back("BYE\n");
    bye.closeWhenDrained = true;
    EXPECT_EQ(runCtl(bye, clock, opt, cap.io()), kExitNetwork);

    // Without --wait the same goodbye is just printed.
    ScriptedControl bye2(clock);
    bye2.answers.push_back("BYE\n");
    bye2.closeWhenDrained = true;
    opt.waitPrefix.reset();
    cap.out.clear();
    EXPECT_EQ(runCtl(bye2, clock, opt, cap.io()), kExitOk);
    EXPECT_EQ(cap.out, (std::vector<std::string>{"BYE"}));
}

TEST(PhoneControl, ALingeringPhoneKeepsSayingItIsThere) {
    FakeClock clock;
    ScriptedControl link(clock);
    std::vector<double> sentAt;
    link.onSend = [&](const std::string&, ScriptedControl& l) { sentAt.push_back(l.clock.monotonic()); };
    Captured cap;
    CtlOptions opt;
    opt.phoneId = "abc";
    opt.linger = 60;
    const double start = clock.monotonic();
    EXPECT_EQ(runCtl(link, clock, opt, cap.io()), kExitOk);
    EXPECT_GE(clock.monotonic() - start, 60.0);
    // The agent counts a phone heard within 10 s as connected: never a longer silence.
    ASSERT_GE(sentAt.size(), 15u);
    for (const auto& s : link.sent) EXPECT_EQ(s, "ID abc\n") << "a sign of life the agent answers nothing to";
    double last = start;
    for (double t : sentAt) {
        EXPECT_LE(t - last, kSignOfLifeSeconds + 1e-9);
        last = t;
    }
    EXPECT_LE(clock.monotonic() - last, kSignOfLifeSeconds + 1e-9);
    EXPECT_TRUE(cap.out.empty());
}
