#include "gateway/Mqtt.h"

#include <mosquitto.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "gateway/Discovery.h"

namespace trovel::gateway {

namespace {

constexpr int kQos = 1;
constexpr auto kFirstDelay = std::chrono::seconds(1);
constexpr auto kLongestDelay = std::chrono::seconds(60);
constexpr auto kRefresh = std::chrono::seconds(60); // state is sent again this often
constexpr int kLoopMs = 200;
constexpr auto kFlushOnStop = std::chrono::milliseconds(1500);

std::vector<std::string> Split(const std::string& text)
{
    std::vector<std::string> parts;
    std::size_t at = 0;
    for (;;) {
        const auto slash = text.find('/', at);
        parts.push_back(text.substr(at, slash == std::string::npos ? std::string::npos : slash - at));
        if (slash == std::string::npos)
            return parts;
        at = slash + 1;
    }
}

std::string Trim(std::string text)
{
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

class Bridge final : public MqttBridge {
public:
    Bridge(const MqttSettings& settings, StateStore& store, std::vector<Poller*> pollers, Log& log)
        : settings_(settings), store_(store), pollers_(std::move(pollers)), log_(log)
    {
        topics_.prefix = settings.topicPrefix;
        topics_.name = settings.name;
        topics_.discoveryPrefix = settings.discoveryPrefix;
    }

    ~Bridge() override
    {
        Stop();
        if (client_ != nullptr)
            mosquitto_destroy(client_);
    }

    bool Start(std::string& error)
    {
        const std::string id = settings_.clientId.empty() ? "trovel-gateway-" + settings_.name : settings_.clientId;
        // A clean session: commands sent while the gateway was away are never delivered late.
        client_ = mosquitto_new(id.c_str(), true, this);
        if (client_ == nullptr) {
            error = "mqtt: cannot make a client: " + std::string(std::strerror(errno));
            return false;
        }
        mosquitto_threaded_set(client_, true);
        mosquitto_connect_callback_set(client_, [](mosquitto*, void* self, int rc) { static_cast<Bridge*>(self)->OnConnect(rc); });
        mosquitto_disconnect_callback_set(client_,
                                          [](mosquitto*, void* self, int rc) { static_cast<Bridge*>(self)->OnDisconnect(rc); });
        mosquitto_message_callback_set(client_, [](mosquitto*, void* self, const mosquitto_message* m) {
            static_cast<Bridge*>(self)->OnMessage(*m);
        });
        const std::string status = topics_.Status();
        int rc = mosquitto_will_set(client_, status.c_str(), 7, "offline", kQos, true);
        if (rc == MOSQ_ERR_SUCCESS && !settings_.username.empty())
            rc = mosquitto_username_pw_set(client_, settings_.username.c_str(),
                                           settings_.password.empty() ? nullptr : settings_.password.c_str());
        if (rc != MOSQ_ERR_SUCCESS) {
            error = std::string("mqtt: ") + mosquitto_strerror(rc);
            return false;
        }
        if (!settings_.caFile.empty()) {
            rc = mosquitto_tls_set(client_, settings_.caFile.c_str(), nullptr,
                                   settings_.certFile.empty() ? nullptr : settings_.certFile.c_str(),
                                   settings_.keyFile.empty() ? nullptr : settings_.keyFile.c_str(), nullptr);
            if (rc != MOSQ_ERR_SUCCESS) {
                error = "mqtt: TLS files " + settings_.caFile +
                        (settings_.certFile.empty() ? "" : ", " + settings_.certFile + ", " + settings_.keyFile) +
                        " cannot be used: " + mosquitto_strerror(rc);
                return false;
            }
        }
        if (!TakesCommands(settings_, commandsOff_))
            log_.Warning("mqtt: " + commandsOff_ + "; state is published");
        else
            commandsOff_.clear();
        listener_ = store_.Subscribe([this](const ControllerState& s, unsigned changes) { OnChange(s, changes); });
        thread_ = std::thread([this] { Loop(); });
        return true;
    }

    void Stop() override
    {
        {
            const std::lock_guard hold(mutex_);
            if (stopping_)
                return;
            stopping_ = true;
        }
        wake_.notify_all();
        if (listener_ != 0)
            store_.Unsubscribe(listener_);
        if (thread_.joinable())
            thread_.join();
    }

private:
    std::string Where() const { return settings_.host + ":" + std::to_string(settings_.port); }

    // Waits for the backoff, or returns false at once when the bridge stops.
    bool Pause(std::chrono::seconds delay)
    {
        std::unique_lock hold(mutex_);
        return !wake_.wait_for(hold, delay, [this] { return stopping_; });
    }

    bool Stopping()
    {
        const std::lock_guard hold(mutex_);
        return stopping_;
    }

    void Loop()
    {
        auto delay = std::chrono::seconds(kFirstDelay);
        bool first = true;
        auto refreshed = Clock::now();
        while (!Stopping()) {
            int rc = first ? mosquitto_connect(client_, settings_.host.c_str(), settings_.port, settings_.keepalive)
                           : mosquitto_reconnect(client_);
            first = rc != MOSQ_ERR_SUCCESS && first;
            while (rc == MOSQ_ERR_SUCCESS && !Stopping()) {
                rc = mosquitto_loop(client_, kLoopMs, 1);
                if (connected_ && Clock::now() - refreshed >= kRefresh) {
                    PublishStates();
                    refreshed = Clock::now();
                }
            }
            if (Stopping())
                break;
            if (connected_.exchange(false) || refused_.exchange(false)) {
                // OnDisconnect or OnConnect said why.
            } else {
                log_.Warning("mqtt: cannot reach the broker at " + Where() + ": " +
                             (rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno)) : std::string(mosquitto_strerror(rc))) +
                             "; again in " + std::to_string(delay.count()) + " s");
            }
            if (connectedOnce_.exchange(false))
                delay = std::chrono::seconds(kFirstDelay);
            if (!Pause(delay))
                break;
            delay = std::min(delay * 2, std::chrono::seconds(kLongestDelay));
        }
        if (connected_) {
            // A clean goodbye sends no Last Will, so the gateway says it itself.
            int mid = 0;
            mosquitto_publish(client_, &mid, topics_.Status().c_str(), 7, "offline", kQos, true);
            const auto until = Clock::now() + kFlushOnStop;
            while (Clock::now() < until && mosquitto_want_write(client_))
                mosquitto_loop(client_, 50, 1);
            mosquitto_disconnect(client_);
            mosquitto_loop(client_, 50, 1);
        }
    }

    void OnConnect(int rc)
    {
        if (rc != 0) {
            refused_ = true;
            log_.Error("mqtt: the broker at " + Where() + " refused the connection: " + mosquitto_connack_string(rc) +
                       (rc == 4 || rc == 5 ? " (check [mqtt] username and password)" : ""));
            return;
        }
        connected_ = true;
        connectedOnce_ = true;
        log_.Info("mqtt: connected to " + Where() + (settings_.caFile.empty() ? "" : " (TLS)") + " as " +
                  topics_.Gateway());
        Publish({topics_.Status(), "online"}, true);
        const std::string g = topics_.Gateway();
        for (const std::string& pattern : {g + "/+/+/set", g + "/+/+/position/set", g + "/+/+/outputs/+/set",
                                           settings_.discoveryPrefix + "/status"})
            mosquitto_subscribe(client_, nullptr, pattern.c_str(), kQos);
        PublishDiscovery();
        PublishStates();
    }

    void OnDisconnect(int rc)
    {
        if (connected_ && rc != 0 && !Stopping())
            log_.Warning("mqtt: lost the broker at " + Where() + ": " + mosquitto_strerror(rc) + "; reconnecting");
    }

    void Publish(const Message& m, bool retain)
    {
        mosquitto_publish(client_, nullptr, m.topic.c_str(), static_cast<int>(m.payload.size()), m.payload.data(), kQos,
                          retain);
    }

    void PublishDiscovery()
    {
        if (!settings_.discovery)
            return;
        Publish(GatewayDiscovery(topics_), true);
        for (const auto& s : store_.Snapshot())
            for (const auto& m : DiscoveryMessages(s, topics_))
                Publish(m, true);
    }

    void PublishStates()
    {
        for (const auto& s : store_.Snapshot())
            for (const auto& m : StateMessages(s, topics_, ~0u))
                Publish(m, true);
    }

    void OnChange(const ControllerState& s, unsigned changes)
    {
        if (!connected_)
            return; // all is sent on connecting
        for (const auto& m : StateMessages(s, topics_, changes))
            Publish(m, true);
        if (settings_.discovery && (changes & change::Identity))
            for (const auto& m : DiscoveryMessages(s, topics_))
                Publish(m, true);
    }

    void Answer(const std::string& topic, const std::string& base, const std::string& payload, const Outcome& o)
    {
        if (o.ok)
            log_.Info("mqtt: command " + topic + " '" + payload + "': ok, " + o.text);
        else
            log_.Warning("mqtt: command " + topic + " '" + payload + "': failed, " + o.text);
        if (!base.empty())
            Publish({base + "result", "{\"topic\":" + JsonString(topic) + ",\"command\":" + JsonString(payload) +
                                          ",\"ok\":" + (o.ok ? "true" : "false") + (o.ok ? ",\"result\":" : ",\"error\":") +
                                          JsonString(o.text) + "}"},
                    false);
    }

    void OnMessage(const mosquitto_message& m)
    {
        const std::string topic = m.topic;
        const std::string payload = Trim(std::string(static_cast<const char*>(m.payload), static_cast<std::size_t>(m.payloadlen)));
        if (topic == settings_.discoveryPrefix + "/status") {
            if (payload == "online") {
                log_.Info("mqtt: Home Assistant is online: discovery sent again");
                PublishDiscovery();
            }
            return;
        }
        if (m.retain) {
            // A command left on the broker must never move a screen when someone connects.
            log_.Warning("mqtt: ignored the retained message '" + payload + "' on the command topic " + topic +
                         ": commands are taken only as they are sent (clear it with an empty retained message)");
            return;
        }
        const std::string g = topics_.Gateway() + "/";
        if (topic.rfind(g, 0) != 0)
            return;
        const auto parts = Split(topic.substr(g.size()));
        Poller* poller = nullptr;
        for (Poller* p : pollers_)
            if (parts.size() >= 3 && p->LineName() == parts[0])
                poller = p;
        char* end = nullptr;
        const long address = parts.size() >= 3 ? std::strtol(parts[1].c_str(), &end, 10) : 0;
        if (poller == nullptr || end == nullptr || *end != '\0' || address < 1 || address > 16 ||
            !poller->Serves(static_cast<std::uint8_t>(address))) {
            Answer(topic, "", payload, {false, "no such line or controller"});
            return;
        }
        const std::string base = topics_.Base(parts[0], static_cast<unsigned>(address));
        if (!commandsOff_.empty()) {
            Answer(topic, base, payload, {false, commandsOff_});
            return;
        }
        const auto unit = static_cast<std::uint8_t>(address);
        const auto deadline = Clock::now() + poller->Deadline();
        auto done = [this, topic, base, payload](const Outcome& o) { Answer(topic, base, payload, o); };
        Action action;
        if (parts.size() == 3 && ParseAction(payload, action)) {
            poller->Command(unit, action, deadline, done);
        } else if (parts.size() == 4 && parts[2] == "position") {
            const double percent = std::strtod(payload.c_str(), &end);
            if (payload.empty() || *end != '\0')
                Answer(topic, base, payload, {false, "position/set takes a percentage from 0 to 100"});
            else
                poller->MoveTo(unit, percent, deadline, done);
        } else if (parts.size() == 5 && parts[2] == "outputs" && (payload == "ON" || payload == "OFF")) {
            const long n = std::strtol(parts[3].c_str(), &end, 10);
            poller->SetOutput(unit, *end == '\0' ? static_cast<int>(n) : 0, payload == "ON", deadline, done);
        } else {
            Answer(topic, base, payload,
                   {false, parts.size() == 3 ? "set takes OPEN, CLOSE, STOP, AUTO or INIT" : "outputs/N/set takes ON or OFF"});
        }
    }

    MqttSettings settings_;
    StateStore& store_;
    std::vector<Poller*> pollers_;
    Log& log_;
    Topics topics_;
    mosquitto* client_ = nullptr;
    std::uint64_t listener_ = 0;
    std::string commandsOff_; // why commands are refused; empty when they are taken
    std::atomic<bool> connected_{false}, connectedOnce_{false}, refused_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace

bool MqttBuiltIn(std::string&)
{
    return true;
}

std::unique_ptr<MqttBridge> StartMqtt(const MqttSettings& settings, StateStore& store, std::vector<Poller*> pollers,
                                      Log& log, std::string& error)
{
    static const int initialised = mosquitto_lib_init();
    (void)initialised;
    auto bridge = std::make_unique<Bridge>(settings, store, std::move(pollers), log);
    if (!bridge->Start(error))
        return nullptr;
    return bridge;
}

} // namespace trovel::gateway
