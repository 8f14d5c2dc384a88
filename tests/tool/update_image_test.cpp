// Signed update images end to end between the two ends that make and check them: keys and images
// made by lirnctl's code, checked by the firmware's (in-process, on a temporary sysroot). The
// program signed is this test program: a whole executable of the machine the tests run on.
#include "image.h"
#include "session.h"
#include "temp_sysroot.h"

#include "board/module.h"
#include "update/image.h"

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
