// Signed update images end to end between the two ends that make and check them: keys and images
// made by lirnctl's code, checked by the firmware's (in-process, on a temporary sysroot). The
// program signed is this test program: a whole executable of the machine the tests run on.
#include "image.h"
#include "session.h"
#include "temp_sysroot.h"

#include "board/module.h"
#include "update/image.h"
#include "update/receive.h"

#include <gtest/gtest.h>

namespace {

const std::string& Program()
{
    static const std::string program = ReadWholeFile("/proc/self/exe");
    return program;
}

class UpdateImage : public testing::Test {
protected:
    void SetUp() override
    {
        keys = lirnctl::MakeKeyPair(root.Path("/keys"));
        other = lirnctl::MakeKeyPair(root.Path("/other"));
        root.WriteFile("/APP/update.pub", ReadWholeFile(keys.publicPath));
        root.WriteFile("/program", Program());
    }
    // Signs content as build (by default one above the running program's) into /image.
    void Sign(const std::string& content, uint32_t build = kFirmwareBuild + 1, const lirnctl::KeyPair* with = nullptr)
    {
        root.WriteFile("/program", content);
        lirnctl::SignProgram((with ? with : &keys)->privatePath, root.Path("/program"), build, root.Path("/image"));
    }
    ImageVerdict Check() { return ImageCheckFile("/image", &m); }
    // The image with one byte changed.
    void Flip(std::size_t at)
    {
        std::string image = root.ReadFile("/image");
        image.at(at) = static_cast<char>(image[at] ^ 1);
        root.WriteFile("/image", image);
    }

    TempSysroot root;
    lirnctl::KeyPair keys, other;
    ImageManifest m{};
};

TEST_F(UpdateImage, OurKeyAndAHigherBuildPassEachRefusalHasItsReason)
{
    std::string otherMachine = Program();
    otherMachine[18] = static_cast<char>(otherMachine[18] ^ 0x7f);
    struct Case {
        const char* what;
        std::function<void()> make;
        ImageVerdict verdict;
        const char* text;
    };
    const Case cases[] = {
        {"our key, one build up", [&] { Sign(Program()); }, ImageVerdict::Ok, "ok"},
        {"no update key", [&] { Sign(Program()); std::filesystem::remove(root.Path("/APP/update.pub")); },
         ImageVerdict::NoKey, "no update key"},
        {"a key that is none", [&] { Sign(Program()); root.WriteFile("/APP/update.pub", "-----BEGIN PUBLIC KEY-----\n"); },
         ImageVerdict::KeyUnreadable, "update key unreadable"},
        {"another key", [&] { Sign(Program(), kFirmwareBuild + 1, &other); }, ImageVerdict::OtherKey, "signed with another key"},
        {"a signature byte changed", [&] { Sign(Program()); Flip(image::kSignatureAt + 20); }, ImageVerdict::BadSignature,
         "bad signature"},
        {"the build number changed", [&] { Sign(Program()); Flip(image::kBuildAt + 3); }, ImageVerdict::BadSignature,
         "bad signature"},
        {"the running build", [&] { Sign(Program(), kFirmwareBuild); }, ImageVerdict::NotNewer,
         "not newer than the running build"},
        {"another machine", [&] { Sign(otherMachine); }, ImageVerdict::OtherMachine, "program for another machine"},
        {"a program byte changed", [&] { Sign(Program()); Flip(image::kHeaderSize + 5000); }, ImageVerdict::Damaged,
         "damaged image"},
        {"the image cut short", [&] { Sign(Program()); root.WriteFile("/image", root.ReadFile("/image").substr(0, 9000)); },
         ImageVerdict::Damaged, "damaged image"},
        {"a signed program cut short", [&] { Sign(Program().substr(0, Program().size() - 10)); },
         ImageVerdict::NotProgram, "not a whole program"},
    };
    for (const Case& c : cases) {
        root.WriteFile("/APP/update.pub", ReadWholeFile(keys.publicPath));
        c.make();
        ImageVerdict v = Check();
        EXPECT_EQ(v, c.verdict) << c.what;
        EXPECT_STREQ(ImageVerdictText(v), c.text) << c.what;
        EXPECT_TRUE(v != ImageVerdict::Ok || (m.build == kFirmwareBuild + 1 && m.size == Program().size())) << c.what;
    }
}

TEST_F(UpdateImage, SignRefusesWhatIsNoProgramAndKeygenNeverOverwritesAKey)
{
    root.WriteFile("/script", "#!/bin/sh\n");
    try {
        lirnctl::SignProgram(keys.privatePath, root.Path("/script"), 2, root.Path("/image"));
        ADD_FAILURE() << "a script was signed";
    } catch (const lirnctl::Failure& f) {
        EXPECT_EQ(f.status, lirnctl::kExitRefused);
    }
    EXPECT_FALSE(root.Exists("/image"));
    std::string before = ReadWholeFile(keys.privatePath);
    EXPECT_THROW(lirnctl::MakeKeyPair(root.Path("/keys")), lirnctl::Failure);
    EXPECT_EQ(ReadWholeFile(keys.privatePath), before);
}

}  // namespace

// ---- An image arriving in pieces

namespace {

class UpdateArriving : public UpdateImage {
protected:
    void SetUp() override
    {
        UpdateImage::SetUp();
        Sign(Program());
        image = root.ReadFile("/image");
    }
    void TearDown() override { UpdateReceiveClose(); }
    UpdateStep Begin() { return UpdateReceiveBegin(reinterpret_cast<const uint8_t*>(image.data()), image::kHeaderSize); }
    // Sends the image's bytes from `from` up to `to` in pieces as a broker would bring them.
    UpdateStep Send(std::size_t from, std::size_t to)
    {
        UpdateStep last = UpdateStep::Ignored;
        for (std::size_t at = from; at < to; at += kPiece)
            last = UpdateReceiveData(static_cast<uint32_t>(at), reinterpret_cast<const uint8_t*>(image.data()) + at,
                                     std::min(kPiece, to - at));
        return last;
    }
    UpdateRecord Record()
    {
        UpdateRecord r;
        UpdateRecordLoad(&r);
        return r;
    }

    static constexpr std::size_t kPiece = 3000;
    std::string image;
};

TEST_F(UpdateArriving, ResumesAtTheLastFlushAfterARestartAndEndsCheckedAndStaged)
{
    ASSERT_EQ(Begin(), UpdateStep::Progress);
    const std::size_t cut = image::kHeaderSize + 40 * kPiece;  // past one flush, short of the next
    EXPECT_EQ(Send(image::kHeaderSize, cut), UpdateStep::Progress);
    EXPECT_EQ(UpdateReceiveData(static_cast<uint32_t>(cut + kPiece), reinterpret_cast<const uint8_t*>(image.data()), 10),
              UpdateStep::Ignored);  // not the piece awaited
    UpdateReceiveClose();            // a restart: what came after the last flush is written again
    UpdateRecord r = Record();
    ASSERT_EQ(r.state, UpdateState::Receiving);
    EXPECT_EQ(r.size, image.size());
    EXPECT_GE(r.offset, image::kHeaderSize + kUpdateSyncBytes);
    EXPECT_LT(r.offset, cut);
    EXPECT_EQ(Send(cut, cut + kPiece), UpdateStep::Ignored);
    EXPECT_EQ(Begin(), UpdateStep::Progress);  // the sender resumes with the same header
    EXPECT_EQ(Send(r.offset, image.size()), UpdateStep::Staged);

    r = Record();
    EXPECT_EQ(r.state, UpdateState::Trial);
    EXPECT_EQ(r.version, kFirmwareBuild + 1);
    EXPECT_TRUE(root.ReadFile("/APP/fw.trial") == Program());
    EXPECT_EQ(std::filesystem::status(root.Path("/APP/fw.trial")).permissions() & std::filesystem::perms::all,
              std::filesystem::perms(0755));
    EXPECT_FALSE(root.Exists("/APP/fw.part"));
    EXPECT_FALSE(root.Exists("/APP/update.hdr"));
    EXPECT_EQ(Begin(), UpdateStep::Ignored);  // nothing more while the trial waits
}

// A broker redelivers a message after a lost link whose first bytes were taken: only its new
// bytes count, and a piece already held changes nothing.
TEST_F(UpdateArriving, ARedeliveredPieceGivesOnlyItsNewBytes)
{
    ASSERT_EQ(Begin(), UpdateStep::Progress);
    const std::size_t mid = image::kHeaderSize + 5000;
    EXPECT_EQ(Send(image::kHeaderSize, mid), UpdateStep::Progress);
    EXPECT_EQ(UpdateReceiveData(image::kHeaderSize, reinterpret_cast<const uint8_t*>(image.data()) + image::kHeaderSize, 100),
              UpdateStep::Ignored);
    EXPECT_EQ(Send(mid - 1000, image.size()), UpdateStep::Staged);
    EXPECT_TRUE(root.ReadFile("/APP/fw.trial") == Program());
}

TEST_F(UpdateArriving, ARefusedHeaderCostsNoTransferAndADamagedProgramIsNeverStaged)
{
    image[image::kSignatureAt + 3] ^= 1;
    EXPECT_EQ(Begin(), UpdateStep::Refused);
    EXPECT_STREQ(Record().result, "refused: bad signature");
    EXPECT_EQ(Send(image::kHeaderSize, image::kHeaderSize + kPiece), UpdateStep::Ignored);

    image[image::kSignatureAt + 3] ^= 1;
    image[image::kHeaderSize + 7000] ^= 1;
    ASSERT_EQ(Begin(), UpdateStep::Progress);
    EXPECT_EQ(Send(image::kHeaderSize, image.size()), UpdateStep::Refused);
    EXPECT_STREQ(Record().result, "refused: damaged image");
    EXPECT_EQ(Record().state, UpdateState::Idle);
    EXPECT_FALSE(root.Exists("/APP/fw.trial"));
    EXPECT_FALSE(root.Exists("/APP/fw.part"));
}

}  // namespace
