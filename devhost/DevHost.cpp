#include "DevHost.h"

#include "Output.h"
#include "PluginCall.h"

namespace devhost {

DevHost& DevHost::Get() {
  static DevHost* host = new DevHost();
  return *host;
}

void DevHost::ServeRconRequest(int client_id, const rcon::Packet& request) {
  RconConnectionObject connection(client_id);
  RCONPacket packet;
  packet.Length = request.size;
  packet.Id = request.id;
  packet.Type = request.type;
  packet.Body = FString(request.body);
  bool served = true;
  game.Register(connection);
  CallPlugin("RCON command", [&] {
    served = commands.DispatchRcon(connection.As<RCONClientConnection>(), packet, game.World());
  });
  game.Unregister(connection);
  if (!served) {
    const std::string word = AsaApi::Tools::Utf8Encode(FirstWord(packet.Body).View());
    PrintLine("error " + JsonText("no RCON command " + word));
    // An empty answer keeps a waiting client from hanging.
    SendRconReply(client_id, request.id, rcon::kResponse, "");
  }
}

void DevHost::SendRconReply(int client_id, int request_id, int type, const std::string& text) {
  if (client_id != 0 && rcon) rcon->Send(client_id, request_id, type, text);
}

}  // namespace devhost
