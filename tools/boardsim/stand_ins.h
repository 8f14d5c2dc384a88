// The board's stand-ins for the module's commands, in the sysroot's bin/ (first on the firmware's
// PATH), and the board-side state they read and write under board/:
// - date: "date -s TIME" (or --set) appends TIME to board/date-set and prints it as the real
//   command does; the host clock is never set. Anything else runs the real date.
// - init: "init 6" writes a reboot request into the FIFO board/init, which the board serves;
//   anything else is refused.
// - df: while the card is in (board/card holds its sizes), a df table whose data line names the
//   card's mount point; otherwise, and for other paths, the real df.
#pragma once

#include <optional>
#include <string>
#include <vector>

// The sizes the df stand-in reports for the card, as df -h prints them.
struct CardSizes {
    std::string size = "7.4G";
    std::string used = "1.2G";
    std::string avail = "6.2G";
    std::string usePercent = "17%";
};

// "SIZE,USED,AVAIL,USE%" (the command-line form); nothing when a field is missing or empty.
std::optional<CardSizes> ParseCardSizes(const std::vector<std::string>& fields);

class StandIns {
public:
    // Writes the three scripts into root/bin and makes root/board with the init FIFO.
    explicit StandIns(const std::string& root);
    ~StandIns();
    StandIns(const StandIns&) = delete;
    StandIns& operator=(const StandIns&) = delete;

    // The card in (with its sizes) or out.
    void SetCard(const std::optional<CardSizes>& card);
    std::optional<CardSizes> Card() const;

    // Every time given to "date -s", oldest first.
    std::vector<std::string> DateSettings() const;

    // The board polls this descriptor; TakeInitRequests then returns the reboots asked for.
    int InitFd() const { return initFd_; }
    int TakeInitRequests();

private:
    std::string cardFile_;
    std::string dateFile_;
    std::string initFifo_;
    int initFd_ = -1;
    std::string pending_;
};
