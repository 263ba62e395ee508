// Where a logged-in phone's video stream attaches to the server. Streaming is not part of
// this build of the service yet: these hooks are the only places the rest of the server
// touches a client's stream (Client::StreamState), so the streamer plugs in here alone.
//
// Contract for the stream half, all on the loop:
//   scheduleDefaultStream  after login: start the configured default stream after
//                          Timing::defaultStreamDelay unless a screen description comes first
//                          (Client::StreamState::fallback holds the timer, weakly bound).
//   handleScreen           a `hello` or `screenChanged` screen description.
//   forwardToStream        every other control message, for the running stream.
//   stopStream             the client is closing or its link ended: release the stream.

#include "net/host_server.h"
#include "net/host_server_client.h"

namespace lumenbrook {

void HostServer::scheduleDefaultStream(const ClientPtr& /*client*/) {}

void HostServer::handleScreen(const ClientPtr& /*client*/, const ScreenTraits& /*traits*/) {}

void HostServer::forwardToStream(const ClientPtr& /*client*/,
                                 const ControlMessage& /*message*/) {}

void HostServer::stopStream(const ClientPtr& client) { client->stream.fallback.cancel(); }

}  // namespace lumenbrook
