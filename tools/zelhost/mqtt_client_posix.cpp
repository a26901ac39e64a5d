#include "mqtt_client.h"

#include <mosquitto.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

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

bool Publish(void *context, const Publication &p) {
    auto &client = *static_cast<MqttClient *>(context);
    if (!client.connected) return false;
    return mosquitto_publish(client.handle, nullptr, p.topic.c_str(), static_cast<int>(p.payload.size()),
                             p.payload.data(), p.qos, p.retain) == MOSQ_ERR_SUCCESS;
}

bool Connected(void *context) { return static_cast<MqttClient *>(context)->connected; }

void Free(MqttClient *client) {
    mosquitto_loop_stop(client->handle, true);
    mosquitto_destroy(client->handle);
    delete client;
}

}  // namespace

MqttClient *MqttConnect(const MqttSettings &settings, std::string *error) {
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
        return fail("cannot connect to the broker at " + where + ": " + why);
    }
    if (mosquitto_loop_start(m) != MOSQ_ERR_SUCCESS) return fail("cannot start the MQTT client's thread");
    std::unique_lock<std::mutex> lock(client->mutex);
    if (!client->answered.wait_for(lock, kAnswerWait, [&] { return client->gotAnswer; })) {
        std::string why = client->lastLog.empty() ? "no answer in 10 s" : client->lastLog;
        lock.unlock();
        return fail("the broker at " + where + " did not accept the connection: " + why);
    }
    if (client->answer == kNoAnswer) {
        const std::string why = client->lastLog.empty() ? "the connection ended" : client->lastLog;
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

void MqttDisconnect(MqttClient *client) {
    mosquitto_disconnect(client->handle);
    Free(client);
}

}  // namespace zelhost
