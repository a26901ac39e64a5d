#include "mqtt_client.h"

#include <mosquitto.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include "gateway_log.h"
#include "tls_check.h"

namespace zelhost {

struct MqttClient {
    mosquitto *handle = nullptr;
    int protocol = 4;
    std::mutex mutex;
    std::condition_variable answered;
    bool gotAnswer = false;
    int answer = 0;              // the first CONNACK's code
    std::string lastLog;         // the library's last warning or error, for messages
    std::string refusal;         // a refusal after the start
    std::atomic<bool> connected{false};
    std::atomic<unsigned> connections{0};
    std::atomic<std::atomic<bool> *> notify{nullptr};
    // While the retained topics are being collected.
    bool collecting = false;
    bool markerBack = false;
    Publication marker;
    std::vector<HeldTopic> heldTopics;
    // The message ids of QoS 1 publications the broker has not acknowledged
    // yet. The library tells of every publication sent, QoS 0 ones too:
    // only these ids count.
    std::mutex acknowledgement;
    std::set<int> unacknowledged;
};

namespace {

constexpr auto kAnswerWait = std::chrono::seconds(10);
// The first connection ended before the broker answered.
constexpr int kNoAnswer = -1;

std::string RefusalText(int protocol, int code) {
    return protocol == MQTT_PROTOCOL_V5 ? mosquitto_reason_string(code) : mosquitto_connack_string(code);
}

void OnConnect(mosquitto *, void *context, int code, int, const mosquitto_property *) {
    auto &client = *static_cast<MqttClient *>(context);
    {
        std::lock_guard<std::mutex> lock(client.mutex);
        if (!client.gotAnswer) {
            client.gotAnswer = true;
            client.answer = code;
        } else if (code != 0) {
            client.refusal = RefusalText(client.protocol, code);
        }
    }
    if (code == 0) {
        client.connected = true;
        ++client.connections;
    } else {
        // No retries with credentials the broker refuses.
        mosquitto_disconnect(client.handle);
    }
    client.answered.notify_all();
    if (std::atomic<bool> *flag = client.notify.load()) flag->store(true);
}

void OnDisconnect(mosquitto *, void *context, int) {
    auto &client = *static_cast<MqttClient *>(context);
    client.connected = false;
    {
        // Gone before it answered (a TLS handshake that failed, say): the
        // first connection failed.
        std::lock_guard<std::mutex> lock(client.mutex);
        if (!client.gotAnswer) {
            client.gotAnswer = true;
            client.answer = kNoAnswer;
        }
    }
    client.answered.notify_all();
    if (std::atomic<bool> *flag = client.notify.load()) flag->store(true);
}

void OnLog(mosquitto *, void *context, int level, const char *text) {
    if ((level & (MOSQ_LOG_ERR | MOSQ_LOG_WARNING)) == 0 || text == nullptr) return;
    auto &client = *static_cast<MqttClient *>(context);
    {
        std::lock_guard<std::mutex> lock(client.mutex);
        client.lastLog = text;
        // An error before the broker answered (a certificate that does not
        // verify): the first connection failed; the library would only retry.
        if ((level & MOSQ_LOG_ERR) == 0 || client.gotAnswer) return;
        client.gotAnswer = true;
        client.answer = kNoAnswer;
    }
    client.answered.notify_all();
}

void OnMessage(mosquitto *, void *context, const mosquitto_message *message) {
    auto &client = *static_cast<MqttClient *>(context);
    const std::string topic = message->topic != nullptr ? message->topic : "";
    const std::string payload(static_cast<const char *>(message->payload), static_cast<std::size_t>(message->payloadlen));
    std::lock_guard<std::mutex> lock(client.mutex);
    if (!client.collecting) return;
    if (message->retain && !payload.empty()) client.heldTopics.push_back({topic, payload});
    // Forwarded live, not from the store: every retained message came before it.
    if (!message->retain && topic == client.marker.topic && payload == client.marker.payload) client.markerBack = true;
    client.answered.notify_all();
}

void OnPublished(mosquitto *, void *context, int mid) {
    auto &client = *static_cast<MqttClient *>(context);
    std::lock_guard<std::mutex> lock(client.acknowledgement);
    client.unacknowledged.erase(mid);
}

Sent Publish(void *context, const Publication &p) {
    auto &client = *static_cast<MqttClient *>(context);
    if (!client.connected) return Sent::kAway;
    // Held until the id is noted, so that its acknowledgement, which may
    // come at once on the network thread, finds it.
    std::unique_lock<std::mutex> lock(client.acknowledgement);
    int mid = 0;
    const int rc = mosquitto_publish(client.handle, &mid, p.topic.c_str(), static_cast<int>(p.payload.size()),
                                     p.payload.data(), p.qos, p.retain);
    if (rc == MOSQ_ERR_SUCCESS) {
        if (p.qos > 0) client.unacknowledged.insert(mid);
        return Sent::kTaken;
    }
    lock.unlock();
    if (rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_NOMEM || rc == MOSQ_ERR_ERRNO)
        return Sent::kAway;
    // Never to be taken (a topic or payload the protocol does not allow):
    // waiting would hold up everything behind it.
    GatewayLog("a publication on " + JsonString(p.topic) + " was refused by the MQTT client (" +
            mosquitto_strerror(rc) + ") and skipped");
    return Sent::kRefused;
}

bool Connected(void *context) { return static_cast<MqttClient *>(context)->connected; }

// A certificate check that failed, named: which one, not just that one did.
std::string NamedTlsFailure(const MqttSettings &settings, const std::string &why) {
    const bool verify = why.find("certificate verify failed") != std::string::npos ||
                        why.find("host name verification failed") != std::string::npos;
    if (settings.caFile.empty() || !verify) return why;
    const std::string check = TlsVerifyProblem(settings.host, settings.port, settings.caFile);
    return check.empty() ? why : check;
}

void Free(MqttClient *client) {
    mosquitto_loop_stop(client->handle, true);
    mosquitto_destroy(client->handle);
    delete client;
}

}  // namespace

MqttClient *MqttConnect(const MqttSettings &settings, bool (*stopRequested)(), std::string *error) {
    static const int initialised = mosquitto_lib_init();
    (void)initialised;
    auto *client = new MqttClient;
    client->protocol = settings.protocol == 5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311;
    client->handle = mosquitto_new(settings.clientId.empty() ? nullptr : settings.clientId.c_str(), true, client);
    if (client->handle == nullptr) {
        delete client;
        *error = "cannot make an MQTT client";
        return nullptr;
    }
    mosquitto *m = client->handle;
    mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, client->protocol);
    mosquitto_connect_v5_callback_set(m, OnConnect);
    mosquitto_disconnect_callback_set(m, OnDisconnect);
    mosquitto_log_callback_set(m, OnLog);
    mosquitto_publish_callback_set(m, OnPublished);
    mosquitto_reconnect_delay_set(m, 1, 30, true);
    const std::string where = settings.host + ":" + std::to_string(settings.port);
    const auto fail = [&](const std::string &why) {
        *error = why;
        Free(client);
        return nullptr;
    };
    if (!settings.username.empty() &&
        mosquitto_username_pw_set(m, settings.username.c_str(),
                                  settings.password.empty() ? nullptr : settings.password.c_str()) != MOSQ_ERR_SUCCESS)
        return fail("the user name or password cannot be used");
    if (!settings.willTopic.empty() &&
        mosquitto_will_set(m, settings.willTopic.c_str(), 7, "offline", 1, true) != MOSQ_ERR_SUCCESS)
        return fail("the last will cannot be set on " + settings.willTopic);
    // Missing files are named, not left to the TLS library's generic answer.
    for (const auto &[what, path] : {std::pair{"CA file", settings.caFile}, std::pair{"certificate file", settings.certFile},
                                     std::pair{"key file", settings.keyFile}})
        if (!path.empty() && access(path.c_str(), R_OK) != 0)
            return fail(std::string("the TLS ") + what + " " + path + " cannot be read: " + std::strerror(errno));
    if (!settings.caFile.empty()) {
        const int rc = mosquitto_tls_set(m, settings.caFile.c_str(), nullptr,
                                         settings.certFile.empty() ? nullptr : settings.certFile.c_str(),
                                         settings.keyFile.empty() ? nullptr : settings.keyFile.c_str(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS)
            return fail("TLS settings refused: " + std::string(rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc)) +
                        " (check the CA, certificate and key files)");
    }
    const int rc = mosquitto_connect(m, settings.host.c_str(), settings.port, settings.keepAlive);
    if (rc != MOSQ_ERR_SUCCESS) {
        std::string why = rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
        {
            std::lock_guard<std::mutex> lock(client->mutex);
            if (!client->lastLog.empty()) why += ": " + client->lastLog;
        }
        why = NamedTlsFailure(settings, why);
        return fail("cannot connect to the broker at " + where + ": " + why);
    }
    if (mosquitto_loop_start(m) != MOSQ_ERR_SUCCESS) return fail("cannot start the MQTT client's thread");
    std::unique_lock<std::mutex> lock(client->mutex);
    // Ctrl-C or SIGTERM ends the wait at once.
    const auto until = std::chrono::steady_clock::now() + kAnswerWait;
    while (!client->gotAnswer && std::chrono::steady_clock::now() < until) {
        if (stopRequested != nullptr && stopRequested()) {
            lock.unlock();
            return fail("stopped while connecting to the broker at " + where);
        }
        client->answered.wait_for(lock, std::chrono::milliseconds(100));
    }
    if (!client->gotAnswer) {
        std::string why = client->lastLog.empty() ? "no answer in 10 s" : client->lastLog;
        lock.unlock();
        return fail("the broker at " + where + " did not accept the connection: " + why);
    }
    if (client->answer == kNoAnswer) {
        const std::string why = NamedTlsFailure(settings, client->lastLog.empty() ? "the connection ended" : client->lastLog);
        lock.unlock();
        return fail("cannot connect to the broker at " + where + ": " + why);
    }
    if (client->answer != 0) {
        const std::string why = RefusalText(client->protocol, client->answer);
        lock.unlock();
        return fail("the broker at " + where + " refused the connection: " + why);
    }
    return client;
}

Publisher PublisherOf(MqttClient *client) { return {Publish, Connected, client}; }

unsigned MqttConnections(MqttClient *client) { return client->connections.load(); }

std::string MqttRefusal(MqttClient *client) {
    std::lock_guard<std::mutex> lock(client->mutex);
    return client->refusal;
}

void MqttNotify(MqttClient *client, std::atomic<bool> *flag) { client->notify.store(flag); }

bool MqttConnected(MqttClient *client) { return client->connected.load(); }

bool MqttRetainedTopics(MqttClient *client, const std::vector<std::string> &filters, const Publication &marker, int waitMs,
                        std::vector<HeldTopic> *topics) {
    {
        std::lock_guard<std::mutex> lock(client->mutex);
        client->collecting = true;
        client->markerBack = false;
        client->marker = marker;
        client->heldTopics.clear();
    }
    mosquitto_message_callback_set(client->handle, OnMessage);
    bool back = false;
    bool subscribed = true;
    for (const std::string &filter : filters)
        subscribed = subscribed && mosquitto_subscribe(client->handle, nullptr, filter.c_str(), 1) == MOSQ_ERR_SUCCESS;
    if (subscribed &&
        mosquitto_publish(client->handle, nullptr, marker.topic.c_str(), static_cast<int>(marker.payload.size()),
                          marker.payload.data(), 1, true) == MOSQ_ERR_SUCCESS) {
        std::unique_lock<std::mutex> lock(client->mutex);
        back = client->answered.wait_for(lock, std::chrono::milliseconds(waitMs), [&] { return client->markerBack; });
    }
    for (const std::string &filter : filters) mosquitto_unsubscribe(client->handle, nullptr, filter.c_str());
    std::lock_guard<std::mutex> lock(client->mutex);
    client->collecting = false;
    *topics = client->heldTopics;
    return back;
}

unsigned long MqttUnacknowledged(MqttClient *client) {
    std::lock_guard<std::mutex> lock(client->acknowledgement);
    return static_cast<unsigned long>(client->unacknowledged.size());
}

unsigned long MqttDrain(MqttClient *client, int waitMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    const auto open = [client] { return MqttUnacknowledged(client); };
    while (open() > 0 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return open();
}

void MqttDisconnect(MqttClient *client) {
    // The network loop ends by itself once the DISCONNECT has gone out, with
    // whatever it still had to write written first.
    mosquitto_disconnect(client->handle);
    mosquitto_loop_stop(client->handle, false);
    mosquitto_destroy(client->handle);
    delete client;
}

}  // namespace zelhost
