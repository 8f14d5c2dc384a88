// The lab of network namespaces (tools/netlab) for tests of paths that fail: the gateway's sockets
// in a namespace of their own, routed through a router namespace to a peer namespace, addresses
// that exist only inside them. A test on a machine that cannot make one skips with the reason
// NetLab::Unavailable gives; labs of test processes that died are removed by the next lab made.
#pragma once

#include <functional>
#include <string>

class NetLab {
public:
    static constexpr const char* kPeerAddress = "10.200.2.2";

    // "" when this machine can make the lab, else why not.
    static std::string Unavailable();

    NetLab();  // Ok() tells whether the lab was made
    ~NetLab();
    NetLab(const NetLab&) = delete;
    NetLab& operator=(const NetLab&) = delete;

    bool Ok() const { return ok_; }
    // The gateway namespace's file, for setns (the board runs its firmware in it).
    std::string GatewayNamespace() const;
    // A listening TCP socket on the peer's address, made in the peer's namespace; -1 on failure.
    int ListenInPeer(int port) const;
    // Run fn on a thread inside the peer's (the gateway's) namespace: sockets it makes, processes
    // it forks and threads it starts stay there, and /proc/thread-self/net shows that namespace.
    // False when it could not be entered.
    bool InPeer(const std::function<void()>& fn) const { return Inside(name_ + "-pe", fn); }
    bool InGateway(const std::function<void()>& fn) const { return Inside(name_ + "-gw", fn); }
    // The router drops (on) or forwards (off) everything between the two sides, without a word.
    bool Blackhole(bool on) const { return Run("blackhole", on ? " on" : " off"); }
    // The peer's host vanishes (with the blackhole on, and the test's sockets in it closed before,
    // no FIN or RST ever reaches the gateway); NewPeer puts a new host at its address.
    bool VanishPeer() const { return Run("vanish"); }
    bool NewPeer() const { return Run("newpeer"); }

private:
    static bool Inside(const std::string& name, const std::function<void()>& fn);
    bool Run(const std::string& command, const std::string& more = "") const;

    std::string name_;
    bool ok_ = false;
};
