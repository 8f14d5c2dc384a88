// SD card update in a temporary sysroot: a df stand-in says whether the card is mounted, and thin
// wrappers around ls, cp, mv and rm record every command the update runs before running the real
// one, so each test sees both the files that result and the commands that made them. Only a new
// configuration, only a new firmware with its reboot, and a failing firmware move are shown end to
// end with their messages and LED patterns (e2e SdUpdate); the firmware's install order and kills
// during it in e2e Updates. A firmware file here is this test program itself: a whole program of
// the machine the tests run on.
#include "board/sdcard.h"
#include "platform/shell.h"
#include "platform/sysroot.h"
#include "temp_sysroot.h"

#include "output_capture.h"

#include <gtest/gtest.h>
#include <cstdlib>
#include <filesystem>
#include <string>


namespace {

namespace fs = std::filesystem;

void MakeExecutable(const std::string& path, const std::string& script)
{
    ASSERT_TRUE(WriteWholeFile(path, script, 0755)) << path;
}

// Stand-ins in binDir: df prints dfOut's content; ls, cp, mv and rm append their command line to
// log and then run the real command.
void InstallStandIns(const std::string& binDir, const std::string& log, const std::string& dfOut)
{
    MakeExecutable(binDir + "/df", "#!/bin/sh\necho \"df $*\" >> '" + log + "'\ncat '" + dfOut + "' 2>/dev/null\n");
    for (const char* cmd : {"ls", "cp", "mv", "rm"})
        MakeExecutable(binDir + "/" + cmd,
                       std::string("#!/bin/sh\necho \"") + cmd + " $*\" >> '" + log + "'\nexec /bin/" + cmd + " \"$@\"\n");
}

// This test program's own file, and the same with some bytes appended (a whole program too).
const std::string& Program()
{
    static const std::string program = ReadWholeFile("/proc/self/exe");
    return program;
}
const std::string& NewProgram()
{
    static const std::string program = Program() + std::string(100, 'n');
    return program;
}

void ClearFlags()
{
    if_sd_card = 0;
    if_fw_exist = 0;
    if_fw_update = 0;
    if_fw_update_error = 0;
}

class SdCardTest : public testing::Test {
protected:
    void SetUp() override
    {
        savedPath = std::getenv("PATH");
        ClearFlags();
        InstallStandIns(root.Path("/bin"), root.Path("/cmds.log"), root.Path("/df.out"));
        ShellInit();
        root.MakeDirs("/media/card");
        root.MakeDirs("/APP");
    }
    void TearDown() override
    {
        setenv("PATH", savedPath.c_str(), 1);
        ClearFlags();
    }

    void CardMounted()
    {
        root.WriteFile("/df.out", "Filesystem      Size  Used Avail Use% Mounted on\n/dev/mmcblk0p1  7.4G  1.2G  6.2G  17% " +
                                      root.Path("/media/card") + "\n");
    }
    void NoCard()
    {
        root.WriteFile("/df.out", "Filesystem      Size  Used Avail Use% Mounted on\n/dev/root       3.9G  2.0G  1.9G  51% /\n");
    }

    // The start-up sequence of the update, as main runs it. Returns what it printed.
    std::string RunUpdate()
    {
        return Printed([] {
            sd_card_init();
            check_if_config_update();
            check_if_cert_update();
            if (if_fw_exist != 0) check_if_fw_update();
        });
    }

    std::string Commands() { return root.ReadFile("/cmds.log"); }
    std::string R(const char* systemPath) { return root.Path(systemPath); }

    TempSysroot root;
    std::string savedPath;
};

TEST_F(SdCardTest, NoCardRunsNothingButDf)
{
    NoCard();
    root.WriteFile("/media/card/update/config.ini", "new");
    root.WriteFile("/media/card/update/fw", NewProgram());
    EXPECT_EQ(RunUpdate(), "");
    check_if_fw_update();  // even when called, nothing happens without a card
    EXPECT_EQ(if_sd_card, 0);
    EXPECT_EQ(if_fw_exist, 0);
    EXPECT_EQ(if_fw_update, 0);
    EXPECT_EQ(Commands(), "df -h " + R("/media/card") + "\n");
    EXPECT_TRUE(root.Exists("/media/card/update/fw"));
}

TEST_F(SdCardTest, OnlyWholeNamesAreUpdateFiles)
{
    CardMounted();
    root.WriteFile("/APP/config.ini", "old");
    for (const char* name : {"config.ini.bck", "fw.bck", "FW", "fw.bin", "Config.ini", "xfw"})
        root.WriteFile(std::string("/media/card/update/") + name, "x");
    // A long name is read in pieces; its last piece must not pass for "fw".
    root.WriteFile("/media/card/update/" + std::string(125, 'a') + "fw", "x");
    // A name holding a line end lists as two lines; the second is not a file of its own.
    root.WriteFile("/media/card/update/abc\nfw", "x");
    EXPECT_EQ(RunUpdate(), "");
    EXPECT_EQ(if_fw_exist, 0);
    EXPECT_EQ(root.ReadFile("/APP/config.ini"), "old");
    EXPECT_EQ(Commands(), "df -h " + R("/media/card") + "\nls " + R("/media/card/update") + "\n");
}

TEST_F(SdCardTest, OnlyFirmwareIsInstalledAndTheConfigurationRemoved)
{
    CardMounted();
    root.WriteFile("/APP/config.ini", "oldcfg");
    root.WriteFile("/APP/fw", Program(), 0755);
    root.WriteFile("/media/card/update/fw", NewProgram());
    EXPECT_EQ(RunUpdate(), "Got the new fw!!\r\n");
    EXPECT_EQ(if_fw_exist, 1);
    EXPECT_EQ(if_fw_update, 1);
    EXPECT_EQ(if_fw_update_error, 0);
    EXPECT_TRUE(root.ReadFile("/APP/fw") == NewProgram());
    EXPECT_EQ(fs::status(R("/APP/fw")).permissions() & fs::perms::all, fs::perms(0755));
    EXPECT_TRUE(root.ReadFile("/media/card/update/fw.bck") == Program());
    EXPECT_EQ(root.ReadFile("/media/card/update/config.ini.bck"), "oldcfg");
    EXPECT_FALSE(root.Exists("/APP/config.ini"));  // the new firmware starts on the defaults
    for (const char* gone : {"/media/card/update/fw", "/APP/fw.tmp", "/media/card/update/fw.bck.tmp"})
        EXPECT_FALSE(root.Exists(gone)) << gone;
    // The firmware's own copies run no command; the configuration's backup and removal still do.
    std::string ls = "ls " + R("/media/card/update") + "\n";
    EXPECT_EQ(Commands(), "df -h " + R("/media/card") + "\n" + ls + "cp " + R("/APP/config.ini") + " " +
                              R("/media/card/update/config.ini.bck") + "\nrm " + R("/APP/config.ini") + "\n" + ls);
}

// A file that is no whole program for this module is never installed: it becomes fw.bad on the
// card (not tried again), the settings stay, and the update counts as failed.
TEST_F(SdCardTest, FirmwareThatIsNoWholeProgramHereIsRenamedBadAndNothingChanges)
{
    std::string otherMachine = Program();
    otherMachine[18] = static_cast<char>(otherMachine[18] ^ 0x7f);  // e_machine's low byte
    std::string library = Program();
    library[16] = 1;  // e_type ET_REL
    const std::pair<std::string, std::string> cases[] = {
        {Program().substr(0, Program().size() / 2), "cut short"},
        {Program().substr(0, Program().size() - 1), "cut short"},
        {Program().substr(0, 200), "cut short"},
        {otherMachine, "a program for another machine"},
        {library, "not a program"},
        {"#!/bin/sh\necho hi\n", "not a program"},
    };
    CardMounted();
    for (const auto& [content, why] : cases) {
        ClearFlags();
        root.WriteFile("/APP/config.ini", "oldcfg");
        root.WriteFile("/APP/fw", Program(), 0755);
        root.WriteFile("/media/card/update/fw", content);
        EXPECT_EQ(RunUpdate(), "Got the new fw!!\r\nfw is " + why + ", renamed fw.bad\r\n") << why;
        EXPECT_EQ(if_fw_update, 1);
        EXPECT_EQ(if_fw_update_error, 1);
        EXPECT_TRUE(root.ReadFile("/media/card/update/fw.bad") == content) << why;
        EXPECT_FALSE(root.Exists("/media/card/update/fw"));
        EXPECT_FALSE(root.Exists("/media/card/update/fw.bck"));
        EXPECT_TRUE(root.ReadFile("/APP/fw") == Program()) << why;
        EXPECT_EQ(root.ReadFile("/APP/config.ini"), "oldcfg");
    }
}

// With both updates the new configuration is the one the new firmware starts on.
TEST_F(SdCardTest, BothInstallTheFirmwareWithTheNewConfiguration)
{
    CardMounted();
    root.WriteFile("/APP/config.ini", "oldcfg");
    root.WriteFile("/media/card/update/config.ini", "newcfg");
    root.WriteFile("/media/card/update/fw", NewProgram());
    EXPECT_EQ(RunUpdate(), "Got the new config.ini!!\r\nGot the new fw!!\r\n");
    EXPECT_EQ(root.ReadFile("/APP/config.ini"), "newcfg");
    EXPECT_EQ(root.ReadFile("/media/card/update/config.ini.bck"), "oldcfg");
    EXPECT_TRUE(root.ReadFile("/APP/fw") == NewProgram());
    EXPECT_FALSE(root.Exists("/media/card/update/config.ini"));
}

TEST_F(SdCardTest, ConfigurationIsKeptWhenItsBackupFails)
{
    CardMounted();
    root.WriteFile("/APP/config.ini", "oldcfg");
    root.WriteFile("/media/card/update/fw", NewProgram());
    // The backup's place holds a directory that cp cannot replace (as a full card would fail it).
    root.MakeDirs("/media/card/update/config.ini.bck/config.ini/x");
    EXPECT_EQ(RunUpdate(), "Got the new fw!!\r\nBackup of config.ini failed, config.ini kept\r\n");
    EXPECT_EQ(root.ReadFile("/APP/config.ini"), "oldcfg");
    EXPECT_TRUE(root.ReadFile("/APP/fw") == NewProgram());
    EXPECT_EQ(if_fw_update, 1);
    EXPECT_EQ(Commands().find("rm "), std::string::npos);
}

TEST_F(SdCardTest, MissingFirmwareToBackUpDoesNotStopTheInstallation)
{
    CardMounted();
    root.WriteFile("/media/card/update/fw", NewProgram());
    EXPECT_EQ(RunUpdate(), "Got the new fw!!\r\n");
    EXPECT_TRUE(root.ReadFile("/APP/fw") == NewProgram());
    EXPECT_EQ(if_fw_update_error, 0);
}

// Tests run as root, so permissions cannot stop mv: an APP that is a plain file can.
TEST_F(SdCardTest, FailedMovesAreReportedAndAnError)
{
    CardMounted();
    fs::remove_all(root.Path("/APP"));
    root.WriteFile("/APP", "not a directory");
    root.WriteFile("/media/card/update/config.ini", "newcfg");
    root.WriteFile("/media/card/update/fw", NewProgram());
    std::string out = RunUpdate();
    EXPECT_EQ(out, "Got the new config.ini!!\r\nGot the new fw!!\r\nconfig.ini still exist!!\r\nfw still exist!!\r\n");
    EXPECT_EQ(if_fw_update_error, 1);
    EXPECT_EQ(if_fw_update, 1);  // carried out, whatever the commands did
    EXPECT_TRUE(root.ReadFile("/media/card/update/fw") == NewProgram());  // tried again at the next start
}

TEST_F(SdCardTest, MountPointSplitAcrossTwoPiecesIsStillFound)
{
    // df's line is read in 127-character pieces; put the mount point across the first boundary.
    std::string mount = root.Path("/media/card");
    std::size_t pad = 120 - (mount.size() - std::string("/media/card").size());
    root.WriteFile("/df.out", std::string(pad, ' ') + mount + "\n");
    Printed(sd_card_init);
    EXPECT_EQ(if_sd_card, 1);
}

}  // namespace

// The MQTT files: installed under their exact names, the old ones backed up on the card, the key
// readable by the firmware's user only, nothing left half-written; no shell command runs for them.
TEST_F(SdCardTest, CertificateFilesAreInstalledSafelyWithBackupsAndAPrivateKey)
{
    CardMounted();
    root.WriteFile("/APP/ca.pem", "old ca");
    root.WriteFile("/APP/client.key", "old key", 0644);
    root.WriteFile("/media/card/update/ca.pem", "new ca");
    root.WriteFile("/media/card/update/client.pem", "new cert");
    root.WriteFile("/media/card/update/client.key", "new key");
    root.WriteFile("/media/card/update/update.pub", "update key");
    for (const char* name : {"ca.pem.bck", "Client.pem", "client.key.new"}) root.WriteFile(std::string("/media/card/update/") + name, "x");
    EXPECT_EQ(RunUpdate(), "Got the new ca.pem!!\r\nGot the new client.pem!!\r\nGot the new client.key!!\r\n"
                           "Got the new update.pub!!\r\n");
    EXPECT_EQ(root.ReadFile("/APP/update.pub"), "update key");
    EXPECT_EQ(root.ReadFile("/APP/ca.pem"), "new ca");
    EXPECT_EQ(root.ReadFile("/APP/client.pem"), "new cert");
    EXPECT_EQ(root.ReadFile("/APP/client.key"), "new key");
    EXPECT_EQ(root.ReadFile("/media/card/update/ca.pem.bck"), "old ca");
    EXPECT_EQ(root.ReadFile("/media/card/update/client.key.bck"), "old key");
    EXPECT_FALSE(root.Exists("/media/card/update/client.pem.bck"));  // there was none to keep
    for (const char* name : {"ca.pem", "client.pem", "client.key", "update.pub"}) {
        EXPECT_FALSE(root.Exists(std::string("/media/card/update/") + name)) << name;
        EXPECT_FALSE(root.Exists(std::string("/APP/") + name + ".tmp")) << name;
    }
    EXPECT_FALSE(root.Exists("/APP/Client.pem"));
    for (const char* key : {"/APP/client.key", "/media/card/update/client.key.bck"})
        EXPECT_EQ(fs::status(R(key)).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write) << key;
    EXPECT_EQ(Commands(), "df -h " + R("/media/card") + "\nls " + R("/media/card/update") + "\n");

    // A backup the card cannot take keeps the old file and the new one stays on the card.
    root.WriteFile("/media/card/update/ca.pem", "newer ca");
    root.MakeDirs("/media/card/update/ca.pem.bck.tmp/blocked");
    EXPECT_EQ(Printed(check_if_cert_update), "Got the new ca.pem!!\r\nBackup of ca.pem failed, ca.pem not installed\r\n");
    EXPECT_EQ(root.ReadFile("/APP/ca.pem"), "new ca");
    EXPECT_EQ(root.ReadFile("/media/card/update/ca.pem"), "newer ca");
}
