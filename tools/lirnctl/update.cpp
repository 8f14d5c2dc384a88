// lirnctl's sender of signed images over the broker (see update.h).
#include "update.h"

#include "session.h"
#include "update/image_format.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>

namespace lirnctl {

namespace {

using Json = nlohmann::json;

std::string ReadImage(const std::string& path, uint32_t* build)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Failure(kExitUsage, "cannot read the image " + path + ": " + std::strerror(errno));
    std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto* p = reinterpret_cast<const uint8_t*>(image.data());
    if (image.size() < image::kHeaderSize || std::memcmp(p, image::kMagic, sizeof image::kMagic) != 0 ||
        image.size() != image::kHeaderSize + image::Get32(p + image::kSizeAt))
        throw Failure(kExitUsage, path + " is no whole update image (lirnctl sign makes them)");
    *build = image::Get32(p + image::kBuildAt);
    return image;
}

// A JSON object from the gateway; null when the payload is none.
Json Parse(const std::string& payload)
{
    Json j = Json::parse(payload, nullptr, false);
    return j.is_object() ? j : Json(nullptr);
}

std::string Text(const Json& j, const char* key)
{
    return j.contains(key) && j[key].is_string() ? j[key].get<std::string>() : "";
}

uint64_t Number(const Json& j, const char* key)
{
    return j.contains(key) && j[key].is_number_unsigned() ? j[key].get<uint64_t>() : 0;
}

// One transfer: what was sent, what the gateway holds, and what it said last.
class Transfer {
public:
    Transfer(const BrokerOptions& o, const std::string& path, const UpdatePlan& plan,
             const std::function<void(const UpdateProgress&)>& show)
        : tree_(o.prefix + "/" + o.id + "/"), plan_(plan), show_(show)
    {
        image_ = ReadImage(path, &out_.build);
        out_.size = image_.size();
        client_ = std::make_unique<BrokerClient>(
            o, [this](const std::string& t, const std::string& p) { OnMessage(t, p); }, plan.deadline);
        client_->Subscribe(tree_ + "update/status", plan.deadline);
        client_->Subscribe(tree_ + "state", plan.deadline);
    }

    UpdateOutcome Run()
    {
        Begin();
        while (!staged_) Step();
        Tell(held_, "the image is checked; the gateway restarts into its trial");
        // The result comes in the state document once the trial has ended.
        bool ended = client_->RunUntil([this] { return !result_.empty() || failure_; }, plan_.deadline);
        if (failure_) throw *failure_;
        if (!ended)
            throw Failure(kExitNoAnswer, client_->Name() + ": no result from the gateway's trial in time", "", "",
                          "the trial may take up to three windows (10 minutes each by default); "
                          "lirnctl fleet shows the result later");
        out_.result = result_;
        out_.ok = result_ == "ok";
        return out_;
    }

private:
    void Tell(uint64_t held, const std::string& event) { show_(UpdateProgress{held, out_.size, event}); }

    void Begin()
    {
        client_->Publish(tree_ + "update/begin", image_.substr(0, image::kHeaderSize));
        heard_ = Clock::now();
    }

    // Sends what the window and the rate allow, then runs the client until the gateway says
    // something, more may be sent, or it is time to ask again.
    void Step()
    {
        if (Clock::now() >= plan_.deadline)
            throw Failure(kExitNoAnswer, client_->Name() + ": the image did not reach the gateway in time", "", "",
                          "the gateway takes updates while it is online, with @MQTTCMD;1; run lirnctl update "
                          "again to resume where it stands");
        Clock::time_point wake = std::min(plan_.deadline, heard_ + plan_.answerWithin);
        while (started_ && next_ < image_.size() && next_ < held_ + kUpdateWindowBytes) {
            if (allowed_ > Clock::now()) {
                wake = std::min(wake, allowed_);
                break;
            }
            std::size_t n = std::min(kUpdateChunkBytes, image_.size() - next_);
            client_->Publish(tree_ + "update/data/" + std::to_string(next_), image_.substr(next_, n));
            next_ += n;
            Paced(n);
        }
        uint64_t told = told_;
        client_->RunUntil([&] { return told_ != told || staged_ || failure_; }, wake);
        if (failure_) throw *failure_;
        if (told_ == told && !staged_ && Clock::now() >= heard_ + plan_.answerWithin) Begin();  // where does it stand?
    }

    // The rate: the next chunk goes once this one's share of a second has passed. Time spent
    // waiting for the gateway gives no credit, so the rate holds after a stall too.
    void Paced(std::size_t n)
    {
        if (plan_.rate == 0) return;
        auto share = std::chrono::duration<double>(static_cast<double>(n) / static_cast<double>(plan_.rate));
        allowed_ = std::max(allowed_, Clock::now()) + std::chrono::duration_cast<Clock::duration>(share);
    }

    void OnMessage(const std::string& topic, const std::string& payload)
    {
        Json j = Parse(payload);
        if (j.is_null()) return;
        if (topic == tree_ + "update/status") OnStatus(j);
        if (topic == tree_ + "state" && staged_ && j.contains("update") && j["update"].is_object()) {
            const Json& u = j["update"];
            if (Text(u, "state") == "idle" && Number(u, "version") == out_.build) result_ = Text(u, "result");
        }
    }

    void OnStatus(const Json& j)
    {
        told_++;
        heard_ = Clock::now();
        std::string state = Text(j, "state"), result = Text(j, "result");
        uint64_t version = Number(j, "version"), offset = Number(j, "offset");
        // Called from inside the client's loop: a failure is kept and thrown once the loop returns.
        if (result.rfind("refused", 0) == 0) {
            failure_ = Failure(kExitRefused, client_->Name() + ": the gateway " + result);
            return;
        }
        if (state == "trial") {
            if (version != out_.build)
                failure_ = Failure(kExitRefused, client_->Name() + ": build " + std::to_string(version) +
                                                     " is on trial on the gateway; try again once it has ended");
            staged_ = true;
            held_ = out_.size;
            return;
        }
        if (state != "receiving" || Number(j, "size") != out_.size) return;  // not about this image
        bool resend = j.contains("resend") && j["resend"] == true;
        if (resend) {
            if (!started_) {
                started_ = true;
                Tell(offset, offset > image::kHeaderSize ? "the gateway holds " + std::to_string(offset) +
                                                              " bytes: resuming there"
                                                        : "");
            } else if (offset < next_) {
                out_.resumes++;
                Tell(offset, "the gateway asks for the bytes from " + std::to_string(offset) + " on");
            }
            next_ = offset;
            held_ = offset;
        } else {
            held_ = std::max<uint64_t>(held_, offset);
        }
        Tell(held_, "");
    }

    std::string tree_;
    UpdatePlan plan_;
    std::function<void(const UpdateProgress&)> show_;
    std::string image_;
    UpdateOutcome out_;
    std::unique_ptr<BrokerClient> client_;
    bool started_ = false;   // the gateway answered the header: the bytes may go
    bool staged_ = false;    // the gateway has the whole image checked
    uint64_t next_ = 0;      // the offset of the next chunk
    uint64_t held_ = 0;      // what the gateway last said it holds
    uint64_t told_ = 0;      // statuses heard
    Clock::time_point heard_, allowed_;
    std::string result_;
    std::optional<Failure> failure_;
};

}  // namespace

UpdateOutcome SendUpdate(const BrokerOptions& o, const std::string& path, const UpdatePlan& plan,
                         const std::function<void(const UpdateProgress&)>& show)
{
    return Transfer(o, path, plan, show).Run();
}

}  // namespace lirnctl
