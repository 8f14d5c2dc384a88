// Loops of the board woken through a pipe (see board_loop.h).
#include "board_loop.h"

#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

BoardLoop::BoardLoop()
{
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("pipe failed");
}

BoardLoop::~BoardLoop()
{
    Stop();
    for (int fd : wake_) close(fd);
}

void BoardLoop::Start(std::function<void()> body)
{
    stop_ = false;
    thread_ = std::thread(std::move(body));
}

void BoardLoop::RequestStop()
{
    stop_ = true;
    Wake();
}

void BoardLoop::Stop()
{
    RequestStop();
    if (thread_.joinable()) thread_.join();
}

void BoardLoop::Wake()
{
    char c = 0;
    ssize_t n = write(wake_[1], &c, 1);  // a full pipe already wakes the loop
    (void)n;
}

void BoardLoop::Drain()
{
    char sink[64];
    while (read(wake_[0], sink, sizeof sink) > 0) {
    }
}
