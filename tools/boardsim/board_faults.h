// Faults the board puts on its sysroot for the firmware to meet: a device node removed and
// restored (the opens of a removed node are counted), the SD card taken out or full, and /APP
// refusing the files the firmware saves.
//
// The board runs as root in tests and CI, where permissions stop no write, so each fault is made
// of things that fail for root too: a plain file where a directory or a device should be, a day
// file linked to /dev/full (every write fails with ENOSPC), a directory where a file is to be
// created. The requests are described in CONTROL.md.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class BoardFaults {
public:
    explicit BoardFaults(const std::string& root);
    ~BoardFaults();
    BoardFaults(const BoardFaults&) = delete;
    BoardFaults& operator=(const BoardFaults&) = delete;

    // A removed node is a plain placeholder file whose opens are recorded: no device user can
    // take it for a terminal or a character device. path is relative to the root. The opens are
    // counted with inotify, whose instance the board holds only while a node is removed: the
    // instances are limited per user, and a fleet of boards without faults then takes none.
    bool PlaceNodePlaceholder(const std::string& path);
    void ForgetNodePlaceholder(const std::string& path);
    bool NodeRemoved(const std::string& path) const { return watches_.count(path) > 0; }
    // Board times (ms) of the opens of the node's placeholder during its latest removal.
    std::vector<int64_t> NodeOpens(const std::string& path) const;
    // The board polls this descriptor (-1 while no node is removed) and calls TakeEvents when it
    // is readable.
    int WatchFd() const { return inotify_; }
    void TakeEvents();

    // The card's tree goes aside and a plain file takes its place (false when it cannot).
    bool RemoveCard();
    bool InsertCard();
    bool CardRemoved() const { return cardRemoved_; }
    // Today's day files of the transcript trees become links to /dev/full; off puts them back.
    bool SetCardFull(bool full);
    bool CardFull() const { return !fullFiles_.empty(); }
    // Saves in APP fail: the names the firmware writes through are taken by directories.
    bool SetAppWritable(bool writable);
    bool AppWritable() const { return appWritable_; }

private:
    std::string root_;
    int inotify_ = -1;
    std::map<std::string, int> watches_;  // removed node -> watch descriptor
    std::map<std::string, std::vector<int64_t>> opens_;
    bool cardRemoved_ = false;
    std::vector<std::string> fullFiles_;  // day files linked to /dev/full
    bool appWritable_ = true;
};
