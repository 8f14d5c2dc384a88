// Network namespaces for tests of paths that fail on the way: the gateway's sockets in a namespace
// of their own, routed through a router namespace to a peer namespace. The addresses (10.200.1.0/24
// on the gateway's side, 10.200.2.0/24 on the peer's) exist only inside these namespaces, so no
// packet can leave the machine. The router can drop everything between the two sides without a
// word (a blackhole), the peer's host can vanish behind it, and a new host can take its address.
//
// Making namespaces needs root and iproute2 (CI runs as root); a test on a machine without them
// skips with the reason NetLab::Unavailable gives. Namespaces of a test that died are removed by
// the next lab made on the machine.
#pragma once

#include <functional>
#include <string>
#include <vector>

class NetLab {
public:
    static constexpr const char* kGatewayAddress = "10.200.1.2";
    static constexpr const char* kPeerAddress = "10.200.2.2";

    // "" when this machine can make the lab, else why not.
    static std::string Unavailable();

    NetLab();  // Ok() tells whether every step of the set-up worked
    ~NetLab();
    NetLab(const NetLab&) = delete;
    NetLab& operator=(const NetLab&) = delete;

    bool Ok() const { return ok_; }
    // The gateway namespace's file, for setns (the board runs its firmware in it).
    std::string GatewayNamespace() const { return NamespacePath(gateway_); }

    // A listening TCP socket on the peer's address (any port when 0), made in the peer's namespace;
    // the test accepts on it as on any socket. -1 on failure.
    int ListenInPeer(int port) const;
    // Run fn on a thread inside the peer's (the gateway's) namespace: sockets it makes stay there,
    // and /proc/thread-self/net shows that namespace. False when it could not be entered.
    bool InPeer(const std::function<void()>& fn) const { return Inside(peer_, fn); }
    bool InGateway(const std::function<void()>& fn) const { return Inside(gateway_, fn); }
    // Runs a shell command inside the peer's namespace in the background; its process group is
    // ended with the lab or with StopInPeer. The process id, or -1.
    int StartInPeer(const std::string& command);
    // The router drops (on) or forwards (off) everything between the two sides.
    bool Blackhole(bool on);
    // The peer's host vanishes: its link and namespace are removed. With the blackhole on (and the
    // test's sockets in it closed before), no FIN or RST ever reaches the gateway.
    bool VanishPeer();
    // A new host at the peer's address (after VanishPeer).
    bool NewPeer();

private:
    static std::string NamespacePath(const std::string& name);
    static bool Inside(const std::string& name, const std::function<void()>& fn);
    bool MakePeer();
    void StopPeerProcesses();

    std::string prefix_, gateway_, router_, peer_;
    int peers_ = 0;
    std::vector<int> started_;
    bool ok_ = false;
};
