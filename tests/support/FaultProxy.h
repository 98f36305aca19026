#pragma once
// A TCP proxy on 127.0.0.1 in front of a server (the sandbox database), for putting that server
// "far away" or "gone" without touching it:
//
//   FaultProxy proxy("127.0.0.1", 3306);      // listens on 127.0.0.1:proxy.Port()
//   proxy.SetDelay(10ms, 10ms);               // every chunk waits 10 ms in each direction
//   proxy.SetStalled(true);                   // nothing is forwarded, nothing accepted, nothing
//                                             // closed: a server that stopped answering
//   proxy.DropConnections();                  // every open connection is cut
//   proxy.SetRefusing(true);                  // connects are refused: a server that is down
//   proxy.HoldToServer("UPDATE player_discord");  // a statement held on its way, as the
//   proxy.ReleaseHeld();                           // network may hold one, and passed on later
//   proxy.SetGreetingFault(GreetingFault::NoTls);  // the server's greeting offers no TLS
//
// One thread of its own serves every connection; the destructor stops it and closes everything.
// Loopback only: the target must be an address on 127.0.0.0/8.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace veltrane::test {

// What becomes of a new connection's first packet from the server, its greeting.
enum class GreetingFault {
  None,
  NoTls,         // its CLIENT_SSL capability bit is cleared, as a downgrading attacker would
  StallAfterIt,  // it is passed on, and then nothing more in either direction until ReleaseHeld()
};

class FaultProxy {
 public:
  FaultProxy(const std::string& target_host, int target_port);
  ~FaultProxy();
  FaultProxy(const FaultProxy&) = delete;
  FaultProxy& operator=(const FaultProxy&) = delete;

  int Port() const { return port_; }

  // Added to every chunk of bytes on its way to the server and on its way back.
  void SetDelay(std::chrono::microseconds to_server, std::chrono::microseconds to_client);
  // While stalled, bytes and new connections wait in the kernel's queues; a stall that ends
  // forwards them.
  void SetStalled(bool stalled);
  // Closes every connection that is open now; new ones are served as before.
  void DropConnections();
  // While refusing, the port is closed, so a connect fails at once; open connections stay.
  void SetRefusing(bool refusing);

  // From now on, bytes to the server that contain marker are held, with whatever follows them on
  // their connection, until ReleaseHeld(); the client sees no answer meanwhile. An empty marker
  // holds nothing more, and what is held stays held. A connection that the client closes is
  // ended only after its held bytes have been passed on; one that the server closes drops them.
  void HoldToServer(const std::string& marker);
  // The same for bytes on their way back to the client.
  void HoldToClient(const std::string& marker);
  // Passes on everything held and holds nothing more.
  void ReleaseHeld();
  // For connections accepted from now on.
  void SetGreetingFault(GreetingFault fault);
  // Chunks of bytes held now.
  std::uint64_t Held() const;
  // Open connections.
  std::uint64_t OpenConnections() const;

  // Connections accepted so far.
  std::uint64_t Accepted() const;
  // Bytes read from clients so far (whether forwarded yet or not): a statement has left its
  // client once this grew.
  std::uint64_t ReceivedFromClients() const;

 private:
  struct Loop;
  std::unique_ptr<Loop> loop_;
  int port_ = 0;
};

}  // namespace veltrane::test
