// bridge --mqtt in a build made without libmosquitto: says so.
#include "cli/commands.h"

namespace cli {

int run_mqtt_bridge(const BridgeOptions&) {
  fail(
      "bridge: this mmfcast-cli was built without libmosquitto, so it cannot bridge to an MQTT "
      "broker (install libmosquitto-dev and build again)");
  return kBridgeCannotStart;
}

}  // namespace cli
