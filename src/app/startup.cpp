// Start-up sequence, road choice and the status supervisor loop.
#include "app/app.h"

#include "board/gpio.h"
#include "board/i2c.h"
#include "board/module.h"
#include "board/sdcard.h"
#include "board/ticks.h"
#include "cellular/datacall.h"
#include "config/config.h"
#include "console/console.h"
#include "leds/leds.h"
#include "logging/log.h"
#include "modem/modem.h"
#include "mqtt/mqtt.h"
#include "platform/shell.h"
#include "tunnel/tunnel.h"
#include "update/receive.h"
#include "update/trial.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <pthread.h>

namespace {

// How long the update road shows its result before the reboot, milliseconds.
constexpr unsigned kUpdateRebootDelayMs = 10000;

// Starts a thread with default attributes; prints the failure message when it cannot.
bool StartThread(void* (*entry)(void*), const char* failure)
{
    pthread_t thread;
    if (pthread_create(&thread, nullptr, entry, nullptr) != 0) {
        std::puts(failure);
        return false;
    }
    return true;
}

// The tunnel road: the four tunnel threads, in this order, each with its message.
void StartTunnelThreads()
{
    struct TunnelThread {
        void* (*entry)(void*);
        const char* started;
        const char* failure;
    };
    static const TunnelThread kTunnelThreads[] = {
        {ThreadLirnSock, "Create ThreadLirnSock Successfully\r", "Error: Create ThreadLirnSocket"},
        {ThreadLirnSend, "Create ThreadLirnSend Successfully\r", "Error: Create ThreadLirnSend"},
        {ThreadLirnRecv, "Create ThreadLirnRecv Successfully\r", "Error: Create ThreadLirnReceive"},
        {ThreadLirnHb, "Create ThreadLirnHb Successfully\r", "Error: Create ThreadLirnHeartBeat"},
    };
    for (const TunnelThread& t : kTunnelThreads)
        if (StartThread(t.entry, t.failure)) std::puts(t.started);
}

// The tunnel road with a broker address: the MQTT mode's two threads instead of the tunnel's, and
// the status LED showing the broker link.
void StartMqttThreads()
{
    MqttInit();
    LedShowLink(true);
    if (MqttCommandsOn() && StartThread(ThreadRemoteConsole, "Error: Create ThreadRemoteConsole"))
        std::puts("Create ThreadRemoteConsole Successfully\r");
    if (StartThread(ThreadMqttSerial, "Error: Create ThreadMqttSerial")) std::puts("Create ThreadMqttSerial Successfully\r");
    if (StartThread(ThreadMqtt, "Error: Create ThreadMqtt")) std::puts("Create ThreadMqtt Successfully\r");
}

// One pass of the supervisor: 2 s (a clock step ends the wait at once), then the status LED's
// pattern from the state, and settings on trial reverted once their window has passed.
void SupervisorPass()
{
    TickWaitUntil(GetTimeTicks(), kSupervisorPeriodMs);
    LedShowModemState();
    if (ConfigTrialRevertIfDue(GetTimeTicks())) ResetSIM7100();
    UpdateTrialPass();
    // An image received over the broker and checked: the module restarts into its trial (the
    // session has acknowledged its last bytes and said so by now).
    if (UpdateStagedForTrial()) ResetSIM7100();
}

[[noreturn]] void SupervisorLoop()
{
    for (;;) SupervisorPass();
}

// A new firmware was installed: show the result on both LEDs, then reboot into it. Nothing else
// runs on this road.
[[noreturn]] void FirmwareUpdateRoad()
{
    std::puts("FW Update\r");
    StartThread(thread_led, "Error: Create ThreadLed");
    LedShowUpdateResult(if_fw_update_error == 1);
    SleepMs(kUpdateRebootDelayMs);
    ResetSIM7100();
    for (;;) SleepMs(kUpdateRebootDelayMs);  // the reboot stops the process
}

}  // namespace

int BuildDateCommand(char* out, const char* date, const char* time)
{
    int n = std::snprintf(out, kDateCommandSize, "date -s \"%s %s\"", date, time);
    if (n < 0 || n >= kDateCommandSize) {
        out[0] = '\0';
        return -1;
    }
    return 0;
}

void HandleCommandLine(int argc, char** argv)
{
    if (argc == 3) {
        char cmd[kDateCommandSize];
        if (BuildDateCommand(cmd, argv[1], argv[2]) != 0) {
            std::puts("Date And Time Too Long, Not Set\r");
            return;
        }
        std::printf("CMD: %s\n", cmd);
        int rc = ShellSystem(cmd);
        std::printf("Had Set System Time: %d\n", rc);
        // The real-time clock follows the system clock, whatever the date command did.
        char text[kRtcTextSize];
        tm2rtc(nullptr, &Sysrtc);
        RtcTimeText(text, sizeof text, Sysrtc);
        std::printf("before RTC Time= %s\n", text);
        RTC_Write(Sysrtc);
        RTC_Read(&Sysrtc);
        RtcTimeText(text, sizeof text, Sysrtc);
        std::printf("RTC Time= %s\n", text);
    } else if (argc == 2 && std::strcmp(argv[1], "-resetconfig") == 0) {
        std::puts("Reset Config And Save\r");
        InitLirnConfig();
        SaveLirnConfig();
    }
}

Road ChooseRoad(int initPinValue)
{
    return initPinValue == 1 ? Road::Tunnel : Road::Console;
}

void LirnMain(int argc, char** argv)
{
    // A peer that goes away must show as a failed send, never end the process.
    std::signal(SIGPIPE, SIG_IGN);
    ShellInit();

    if_sd_card = 0;
    if_fw_exist = 0;
    if_fw_update = 0;
    if_fw_update_error = 0;

    std::printf("-- %s --\r\n", kFirmwareVersion);
    // A new program waiting for its trial runs as this process's child before anything is opened.
    UpdateRunPendingTrial(argc, argv);

    LogInit();
    ReadLogConfig();

    InitGPIO();
    InitI2C();
    InitADC();
    ReadADCRegister();
    RTC_Read2sys();

    std::puts("///////////////SD///////////////\r");
    sd_card_init();
    check_if_config_update();
    check_if_cert_update();
    if (if_fw_exist != 0) check_if_fw_update();
    std::puts("///////////////SD OVER///////////////\r");

    HandleCommandLine(argc, argv);
    // A file from the card is a decision made on site: no trial reverts it.
    if (sd_config_installed() || if_fw_update != 0) ConfigTrialEnd();

    if (if_fw_update != 0) FirmwareUpdateRoad();

    ConfigTrialStart();
    InitLirnConfig();
    if (ReadLirnConfig() < 0) {
        InitLirnConfig();
        std::puts("Reset Config\r");
    }
    LirnInit();

    QMI_Init();
    QMI_nas_getObj();
    QMI_wds_getObj();

    StartThread(thread_led, "Error: Create ThreadLed");
    StartThread(thread_net, "Error: Create ThreadNet");
    StartThread(thread_modem, "Error: Create ThreadModem");

    if (ChooseRoad(PIN_INIT_V()) == Road::Tunnel) {
        // Settings on trial have the window a new program has (10 minutes, LIRN_TRIAL_WINDOW_S).
        ConfigTrialWatch(UpdateTrialWindowS() * 1000u);
        if (MqttModeOn())
            StartMqttThreads();
        else
            StartTunnelThreads();
    } else {
        std::puts("==============================\r");
        std::puts("===== Utility\r");
        std::puts("==============================\r");
        StartThread(ThreadUtility, "Error: Create ThreadUtility");
    }

    SupervisorLoop();
}
