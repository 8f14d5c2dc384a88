// Signed updates over the broker, end to end: lirnctl update against the firmware on the simulated
// board through a mosquitto with TLS and README's ACL. An image that gets through two cut links and
// a restart of the gateway, is tried and promoted; images the gateway refuses, each with its reason
// in the state document and nothing staged. Which header the check refuses for which reason is the
// image tests' (update_image_test); here the reasons reach the back office.
#include "board.h"
#include "board_test_support.h"
#include "mqtt_broker.h"

#include "board/module.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <thread>

namespace {

const char kImei[] = "862631039274815";  // the simulated module's
const std::string kTree = std::string("lirn/") + kImei + "/";
const std::string kOld = LIRN_BUILD_DIR "/lirn";
const std::string kNext = LIRN_BUILD_DIR "/lirn-next";
const unsigned kNextBuild = kFirmwareBuild + 1;

// README's ACL, the update topics' lines included.
const char kAcl[] =
    "pattern write lirn/%u/up\npattern write lirn/%u/status\npattern write lirn/%u/state\n"
    "pattern read lirn/%u/down\npattern read lirn/%u/cmd/#\npattern write lirn/%u/reply/#\n"
    "pattern read lirn/%u/update/begin\npattern read lirn/%u/update/data/+\npattern write lirn/%u/update/status\n"
    "user backoffice\ntopic write lirn/+/cmd/#\ntopic read lirn/+/reply/#\ntopic read lirn/+/status\n"
    "topic read lirn/+/state\ntopic readwrite lirn/+/up\ntopic readwrite lirn/+/down\n"
    "topic write lirn/+/update/begin\ntopic write lirn/+/update/data/+\ntopic read lirn/+/update/status\n";

struct Outcome {
    int status = -1;
    std::string out, err;
};

class LirnctlUpdate : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(broker.Start());
        watch = std::make_unique<MqttWatcher>(broker.Port(), "office", kTree + "state");
        dir = board.Root() + "/office";
        board.WriteFile("office/ca.pem", broker.CaPem());
        ASSERT_EQ(Tool({"keygen", dir + "/keys"}).status, 0);
        ASSERT_EQ(Tool({"keygen", dir + "/other"}).status, 0);
        board.WriteFile("APP/fw", ReadWholeFile(kOld), 0755);
        board.WriteFile("APP/update.pub", ReadWholeFile(dir + "/keys/update.pub"));
        Scenario s;
        s.init = "low";
        s.files = {{"APP/config.ini", "@LIRNMODE;0\r\n@MQTTHOST;127.0.0.1\r\n@MQTTPORT;" + std::to_string(broker.TlsPort()) +
                                          "\r\n@MQTTTLS;1\r\n@MQTTCMD;1\r\n@MQTTUSR;" + kImei + "\r\n@MQTTPWD;gw-pass\r\n"},
                   {"APP/ca.pem", broker.CaPem()}};
        s.settings = {"qmi call up"};
        s.ready = "Create ThreadMqtt Successfully\r\n";
        ASSERT_TRUE(board.Run(s)) << board.Output();
        ASSERT_TRUE(StateShows([](const nlohmann::json& doc) { return doc.contains("update"); })) << board.Output();
        setenv("LIRNCTL_MQTT_PASSWORD", "bo-pass", 1);
    }

    // build/lirnctl with these arguments (after the broker's when remote), ended after a minute at
    // the latest. Remote: over TLS as the ACL's back office, or (plain) on the anonymous listener.
    enum Way { kLocal, kRemote, kPlain };
    Outcome Tool(std::vector<std::string> args, Way way = kLocal)
    {
        if (way == kRemote)
            args.insert(args.begin(), {"--broker", "127.0.0.1:" + std::to_string(broker.TlsPort()), "--tls", "--cafile",
                                       dir + "/ca.pem", "--user", "backoffice", "--id", kImei});
        if (way == kPlain) args.insert(args.begin(), {"--broker", "127.0.0.1:" + std::to_string(broker.Port()), "--id", kImei});
        std::string cmd = "timeout -k 2 60 " + ShellWord(LIRN_BUILD_DIR "/lirnctl");
        for (const std::string& a : args) cmd += " " + ShellWord(a);
        std::string errPath = dir + "/lirnctl.err";
        ShellResult r = RunShell(cmd + " 2>" + ShellWord(errPath) + " </dev/null");
        return {r.status, r.output, ReadWholeFile(errPath)};
    }

    // Signs program into dir/name as build with the key pair in dir/keys (or another).
    std::string Sign(const std::string& name, const std::string& program, unsigned build, const std::string& keys = "keys")
    {
        std::string image = dir + "/" + name;
        Outcome r = Tool({"sign", "--key", dir + "/" + keys + "/update.key", "-o", image, program, "--build",
                          std::to_string(build)});
        EXPECT_EQ(r.status, 0) << r.err;
        return image;
    }

    // The gateway's latest state document as the back office reads it, once it satisfies accept.
    bool StateShows(const std::function<bool(const nlohmann::json&)>& accept, Millis within = Millis(30000))
    {
        return watch->WaitFor(
            [&](auto& m) {
                std::vector<std::string> states = PayloadsOn(m, kTree + "state");
                return !states.empty() && accept(state = nlohmann::json::parse(states.back(), nullptr, false));
            },
            within);
    }

    uint64_t RecordOffset()
    {
        std::string record = board.ReadFile("APP/update.ini");
        std::size_t at = record.find("@UPDOFFSET;");
        return at == std::string::npos ? 0 : std::stoull(record.substr(at + 11));
    }

    MqttBroker broker{MqttBrokerSetup{.tls = true, .users = {"backoffice:bo-pass", std::string(kImei) + ":gw-pass"}, .acl = kAcl}};
    Board board;
    std::string dir;
    std::unique_ptr<MqttWatcher> watch;
    nlohmann::json state;
};

}  // namespace

TEST_F(LirnctlUpdate, AnImageGetsThroughTwoCutLinksAndARestartAndIsPromoted)
{
    const std::string image = Sign("next.img", kNext, kNextBuild);
    const uint64_t size = ReadWholeFile(image).size();
    Outcome sent;
    // Paced so that the cuts land within the transfer: about 4 s for the 2 MB.
    // The back office on the plain listener, so that the cuts meet the gateway's TLS link alone.
    std::atomic<bool> finished{false};
    std::thread sender([&] {
        sent = Tool({"--json", "update", image, "--rate", "600K", "--max-time", "55"}, kPlain);
        finished = true;
    });
    struct Joined {
        std::thread& t;
        ~Joined() { t.join(); }
    } joined{sender};

    auto cutAt = [&](uint64_t part, int n) {
        ASSERT_TRUE(WaitUntil([&] { return RecordOffset() >= size * part / 4; }, Millis(30000), Millis(5)));
        RunShell("ss -K dst 127.0.0.1 dport = :" + std::to_string(broker.TlsPort()));
        ASSERT_TRUE(board.WaitForOutput("MQTT Link Down", Millis(10000), n)) << board.Output();
    };
    cutAt(1, 1);
    cutAt(2, 2);
    ASSERT_TRUE(WaitUntil([&] { return RecordOffset() >= size * 3 / 4; }, Millis(30000), Millis(5)));
    uint64_t before = RecordOffset();
    ASSERT_TRUE(ControlOk(board.Control("fw restart")));
    ASSERT_TRUE(WaitUntil([&] { return finished.load(); }, Millis(60000)));

    EXPECT_LT(before, size) << "the restart came after the transfer";
    EXPECT_EQ(sent.status, 0) << sent.out << sent.err << board.Output();
    nlohmann::json report = nlohmann::json::parse(sent.out, nullptr, false);
    EXPECT_EQ(report["result"], "ok") << sent.out;
    EXPECT_GE(report["resumes"].get<int>(), 1) << "the restart's resume from the stored offset";
    EXPECT_EQ(board.CountOutput("Update Of Build " + std::to_string(kNextBuild) + ": Receiving"), 1) << board.Output();
    EXPECT_EQ(board.CountOutput("Update Promoted: Build " + std::to_string(kNextBuild)), 1);
    EXPECT_TRUE(board.ReadFile("APP/fw") == ReadWholeFile(kNext));
    EXPECT_TRUE(StateShows([](const nlohmann::json& s) {
        return s["build"] == kNextBuild && s["update"] == nlohmann::json{{"state", "idle"}, {"version", kNextBuild}, {"result", "ok"}};
    })) << state.dump();
}

TEST_F(LirnctlUpdate, RefusedImagesSayWhyInTheStateAndNothingIsStaged)
{
    std::string otherMachine = ReadWholeFile(kNext);
    otherMachine[18] = static_cast<char>(otherMachine[18] ^ 0x7f);  // e_machine
    board.WriteFile("office/other-machine", otherMachine, 0755);
    std::string badSignature = ReadWholeFile(Sign("bad.img", kNext, kNextBuild));
    badSignature[70] = static_cast<char>(badSignature[70] ^ 1);  // within the signature
    board.WriteFile("office/bad.img", badSignature);
    struct Case {
        std::string image, reason;
        bool withoutKey;
    };
    const Case cases[] = {
        {dir + "/bad.img", "bad signature", false},
        {Sign("other-key.img", kNext, kNextBuild, "other"), "signed with another key", false},
        {Sign("no-key.img", kNext, kNextBuild), "no update key", true},
        {Sign("older.img", kNext, kFirmwareBuild), "not newer than the running build", false},
        {Sign("machine.img", dir + "/other-machine", kNextBuild), "program for another machine", false},
    };
    const std::string key = board.ReadFile("APP/update.pub");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        if (c.withoutKey) std::remove(board.Path("APP/update.pub").c_str());
        Outcome r = Tool({"update", c.image}, kRemote);
        EXPECT_EQ(r.status, 1) << r.out << r.err;
        EXPECT_NE(r.err.find("refused: " + c.reason), std::string::npos) << r.err;
        EXPECT_TRUE(StateShows([&](const nlohmann::json& s) { return s["update"]["result"] == "refused: " + c.reason; }))
            << state.dump();
        EXPECT_FALSE(board.FileExists("APP/fw.part"));
        EXPECT_FALSE(board.FileExists("APP/fw.trial"));
        board.WriteFile("APP/update.pub", key);
    }

    // Settings saved over the broker wait for their confirmation: no update meanwhile.
    EXPECT_EQ(Tool({"set", "lirnhb=20", "--save"}, kRemote).status, 0);
    Outcome held = Tool({"update", Sign("next.img", kNext, kNextBuild)}, kRemote);
    EXPECT_EQ(held.status, 1);
    EXPECT_NE(held.err.find("refused: configuration not yet confirmed"), std::string::npos) << held.err;
    EXPECT_FALSE(board.FileExists("APP/fw.part"));
    EXPECT_EQ(board.CountOutput("Update Trial"), 0);
}
