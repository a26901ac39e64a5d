// The gateway's connection to an MQTT broker (Eclipse Mosquitto's client
// library): MQTT 3.1.1 or 5, user name and password, TLS, the last will,
// and reconnection with back-off after the broker went away.
#pragma once

#include <atomic>
#include <string>

#include "gateway.h"

namespace zelhost {

struct MqttSettings {
    std::string host = "localhost";
    int port = 1883;
    int protocol = 4;  // 4: MQTT 3.1.1, 5: MQTT 5
    int keepAlive = 30;
    std::string clientId;
    std::string username;
    std::string password;
    std::string caFile;    // TLS when given
    std::string certFile;  // a client certificate, with its key
    std::string keyFile;
    std::string willTopic;  // published by the broker as "offline" if the gateway vanishes
};

struct MqttClient;

// Connects and waits for the broker's answer. A refusal (bad user name or
// password, not authorized), a TLS failure or a broker that cannot be
// reached gives nullptr and a one-line reason. Afterwards the client
// reconnects by itself, waiting 1 s, then longer, up to 30 s.
MqttClient *MqttConnect(const MqttSettings &settings, std::string *error);

// The client as the gateway's Publisher.
Publisher PublisherOf(MqttClient *client);

// Counts the connections the broker accepted: a new one calls for the
// whole state to be sent again.
unsigned MqttConnections(MqttClient *client);

// A refusal on a reconnection (the credentials changed meanwhile): the
// reason, or empty. The client then gives up instead of retrying.
std::string MqttRefusal(MqttClient *client);

// Signals every change of the connection (and refusals) by setting `flag`.
void MqttNotify(MqttClient *client, std::atomic<bool> *flag);

// A clean disconnection: the broker does not send the last will.
void MqttDisconnect(MqttClient *client);

}  // namespace zelhost
