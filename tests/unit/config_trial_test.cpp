// Settings saved over the broker on trial: kept, reverted after the window, confirmed by the
// broker, ended by a local save, and every state a power cut can leave between the steps.
// (The same through the firmware on the simulated board: e2e/mqtt_commands_test.cpp.)
#include "config/config.h"
#include "logging/log.h"
#include "temp_sysroot.h"

#include "board/ticks.h"
#include "output_capture.h"

#include <gtest/gtest.h>

namespace {

const std::string kOld = "@LIRNMODE;0\r\n@MQTTHOST;broker.example.net\r\n";

class ConfigTrial : public testing::Test {
protected:
    void SetUp() override
    {
        LogInit();
        root.WriteFile("/APP/config.ini", kOld);
        Restart(false);
    }
    // A start: the trial's state from the files, the record from config.ini, the window if watched.
    void Restart(bool watched)
    {
        Printed([&] {
            ConfigTrialStart();
            InitLirnConfig();
            ReadLirnConfig();
            if (watched) ConfigTrialWatch(1000);
        });
    }
    // A save over the broker of a changed heartbeat.
    void SaveOnTrial(int hb)
    {
        lirnSet.hbInterval = hb;
        Printed([] { EXPECT_EQ(SaveLirnConfigOnTrial(), 0); });
    }
    bool RevertIfDue(uint32_t afterMs)
    {
        bool reverted = false;
        Printed([&] { reverted = ConfigTrialRevertIfDue(GetTimeTicks() + afterMs); });
        return reverted;
    }
    std::string Config() const { return root.ReadFile("/APP/config.ini"); }
    std::string Marker() const { return root.ReadFile("/APP/config.trial"); }
    TempSysroot root;
};

}  // namespace

// The revert after the window and the confirmation by a link are e2e/mqtt_commands_test.cpp's;
// here what it does not show: one kept file per trial, no window on the console road, the
// reverted state at the next start, and a save on site that ends a trial.
TEST_F(ConfigTrial, OneKeptFilePerTrialNoWindowOnTheConsoleRoadAndASaveOnSiteEndsIt)
{
    SaveOnTrial(20);
    SaveOnTrial(30);  // still the one trial: the file kept is the one the gateway ran with
    EXPECT_EQ(root.ReadFile("/APP/config.ini.prev"), kOld);
    EXPECT_EQ(Marker(), "pending\n");
    Restart(false);
    EXPECT_FALSE(RevertIfDue(100000));
    Restart(true);
    EXPECT_FALSE(RevertIfDue(900));
    EXPECT_TRUE(RevertIfDue(1000));
    EXPECT_EQ(Config(), kOld);
    Restart(true);
    EXPECT_STREQ(ConfigTrialShown(), "reverted");

    SaveOnTrial(40);
    Printed([] { EXPECT_EQ(SaveLirnConfig(), 0); });  // at the console, on site
    EXPECT_FALSE(root.Exists("/APP/config.trial"));
    EXPECT_FALSE(root.Exists("/APP/config.ini.prev"));
    Restart(true);
    EXPECT_FALSE(RevertIfDue(100000));
    EXPECT_EQ(lirnSet.hbInterval, 40);
}

// What a power cut between two steps leaves, and what the next start makes of it.
TEST_F(ConfigTrial, EveryStateAPowerCutLeavesEndsWithAUsableFile)
{
    const std::string fresh = "@LIRNMODE;0\r\n@MQTTHOST;nowhere.example.net\r\n";
    // The kept file written, not yet its marker: nothing is on trial, the leftover goes.
    root.WriteFile("/APP/config.ini.prev", kOld);
    Restart(true);
    EXPECT_FALSE(root.Exists("/APP/config.ini.prev"));
    EXPECT_FALSE(RevertIfDue(100000));

    // On trial, the new file not yet written: the window runs on the old one, which reverts to itself.
    root.WriteFile("/APP/config.ini.prev", kOld);
    root.WriteFile("/APP/config.trial", "pending\n");
    Restart(true);
    EXPECT_TRUE(RevertIfDue(1000));
    EXPECT_EQ(Config(), kOld);

    // Cut during a revert: the next start finishes it before the file is read.
    root.WriteFile("/APP/config.ini", fresh);
    root.WriteFile("/APP/config.ini.prev", kOld);
    root.WriteFile("/APP/config.trial", "reverting\n");
    Restart(true);
    EXPECT_EQ(Config(), kOld);
    EXPECT_STREQ(lirnSet.mqttHost, "broker.example.net");
    EXPECT_EQ(Marker(), "reverted\n");

    // A marker without its kept file (removed by hand): nothing to go back to, the trial ends.
    root.WriteFile("/APP/config.ini", fresh);
    root.WriteFile("/APP/config.trial", "pending\n");
    Restart(true);
    EXPECT_FALSE(root.Exists("/APP/config.trial"));
    EXPECT_FALSE(RevertIfDue(100000));
    EXPECT_EQ(Config(), fresh);
}
