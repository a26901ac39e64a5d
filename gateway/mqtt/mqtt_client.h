// The gateway's connection to an MQTT broker (Eclipse Mosquitto's client
// library): MQTT 3.1.1 or 5, user name and password, TLS, the last will,
// and reconnection with back-off after the broker went away.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "mqtt_topics.h"

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

// Connects and waits for the broker's answer (at most 10 s; at once when
// `stopRequested` says so). A refusal (bad user name or password, not
// authorized), a TLS failure or a broker that cannot be reached gives
// nullptr and a one-line reason. Afterwards the client reconnects by
// itself, waiting 1 s, then longer, up to 30 s.
MqttClient *MqttConnect(const MqttSettings &settings, bool (*stopRequested)(), std::string *error);

// Whether the broker is connected now.
bool MqttConnected(MqttClient *client);

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

// The topics under `filters` for which the broker holds a retained
// message, with their payloads. Subscribes, publishes `marker` (retained, on
// a topic a filter covers), and takes the retained messages that come
// before the marker's own live copy, waiting at most `waitMs`; then
// unsubscribes. False when the broker did not answer in time (the topics
// seen so far are given).
bool MqttRetainedTopics(MqttClient *client, const std::vector<std::string> &filters, const Publication &marker, int waitMs,
                        std::vector<HeldTopic> *topics);

// Waits until the broker has acknowledged every QoS 1 publication, at most
// `waitMs`; returns how many it has not.
unsigned long MqttDrain(MqttClient *client, int waitMs);

// The QoS 1 publications the broker has not acknowledged yet.
unsigned long MqttUnacknowledged(MqttClient *client);

// A clean disconnection: the broker does not send the last will.
void MqttDisconnect(MqttClient *client);

}  // namespace zelhost
