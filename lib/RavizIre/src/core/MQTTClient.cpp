#include "core/MQTTClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/Log.h"
#include "core/String.h"

// ---------------------------------------------------------------------------------------------
// In-memory persistence

void MQTTMemoryPersistence::open(const std::string&, const std::string&) {}

void MQTTMemoryPersistence::close() {}

void MQTTMemoryPersistence::clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_values.clear();
}

bool MQTTMemoryPersistence::contains_key(const std::string& key)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_values.count(key) != 0;
}

mqtt::string_collection MQTTMemoryPersistence::keys() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    mqtt::string_collection result;
    for (const auto& entry : m_values) result.push_back(entry.first);
    return result;
}

void MQTTMemoryPersistence::put(const std::string& key, const std::vector<mqtt::string_view>& bufs)
{
    std::string value;
    size_t size = 0;
    for (const auto& buf : bufs) size += buf.size();
    value.reserve(size);
    for (const auto& buf : bufs) value.append(buf.data(), buf.size());
    std::lock_guard<std::mutex> lock(m_mutex);
    m_values[key] = std::move(value);
}

std::string MQTTMemoryPersistence::get(const std::string& key) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_values.find(key);
    if (it == m_values.end())
        throw mqtt::persistence_exception(-2, "MQTTMemoryPersistance::get(): Key not found.");
    return it->second;
}

void MQTTMemoryPersistence::remove(const std::string& key)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_values.erase(key) == 0)
        throw mqtt::persistence_exception(-2);
}

// ---------------------------------------------------------------------------------------------
// Sessions

namespace {

// A disconnect on loopback ends within milliseconds; one to a broker that stopped answering ends
// with the loss of the connection. Past this the library is taken to be stuck on the client.
constexpr auto DisconnectBound = std::chrono::seconds(2);
// An attempt ends with its connect time-out at the latest.
constexpr auto AttemptBound = std::chrono::seconds(7);
// While a connection is being made the library's read thread is woken this often, for at most
// this long: past it the library's own wait of a second is no longer in the way.
constexpr auto WakeEvery = std::chrono::milliseconds(20);
constexpr auto WakeSpan = std::chrono::milliseconds(1500);

// The library stops its two threads when its last client is destroyed, and in this version the
// destroy's frees race the exiting threads' own: glibc aborts with "corrupted double-linked list"
// (about one process in two thousand that connects and closes one client). One client, made
// before the first real one and never destroyed, keeps the threads for the life of the process.
// The pointer is never read: it keeps the client reachable, so that it counts as no leak.
//
// The anchor also ends a wait that would cost every connection but the process's first a second:
// the library's read thread sends a new connection's first packet only when its wait on the
// sockets it reads ends, and past its first round that wait lasts a second. The anchor is
// connected to a loopback end of our own, which answers its connect and then only ever writes a
// ping answer to it, while one of our connections is being made, to end that wait.
mqtt::async_client* volatile s_libraryAnchor = nullptr;
std::once_flag s_libraryAnchorOnce;
int s_wakeFd = -1;

constexpr int AnchorHandshakeMs = 2000;

// Reads exactly `size` bytes from our own loopback end within the handshake's time.
bool readAll(int fd, unsigned char* data, size_t size)
{
    while (size > 0) {
        pollfd in{fd, POLLIN, 0};
        if (::poll(&in, 1, AnchorHandshakeMs) != 1)
            return false;
        const ssize_t got = ::recv(fd, data, size, 0);
        if (got <= 0)
            return false;
        data += got;
        size -= static_cast<size_t>(got);
    }
    return true;
}

// Takes the anchor's CONNECT and answers it with an accepted CONNACK.
bool answerAnchor(int fd)
{
    unsigned char byte = 0;
    if (!readAll(fd, &byte, 1) || byte != 0x10)
        return false;
    size_t remaining = 0;
    for (int shift = 0;; shift += 7) {
        if (shift > 21 || !readAll(fd, &byte, 1))
            return false;
        remaining |= static_cast<size_t>(byte & 0x7F) << shift;
        if (!(byte & 0x80))
            break;
    }
    unsigned char body[256];
    if (remaining > sizeof body || !readAll(fd, body, remaining))
        return false;
    static const unsigned char connack[] = {0x20, 0x02, 0x00, 0x00};
    return ::send(fd, connack, sizeof connack, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof connack);
}

// Connects the anchor to a listener of our own; the accepted end is the wake.
void connectAnchor(int listener, uint16_t port)
{
    s_libraryAnchor = new mqtt::async_client("tcp://127.0.0.1:" + std::to_string(port), "tapgate-anchor", nullptr);
    mqtt::connect_options options;
    options.set_keep_alive_interval(0);
    options.set_clean_session(true);
    options.set_connect_timeout(AnchorHandshakeMs / 1000);
    mqtt::token_ptr token = s_libraryAnchor->connect(options);
    pollfd in{listener, POLLIN, 0};
    if (::poll(&in, 1, AnchorHandshakeMs) != 1)
        return;
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    if (answerAnchor(fd) && token->wait_for(std::chrono::milliseconds(AnchorHandshakeMs)))
        s_wakeFd = fd;
    else
        ::close(fd);
}

void keepLibraryThreads()
{
    std::call_once(s_libraryAnchorOnce, [] {
        const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        try {
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t length = sizeof address;
            if (listener >= 0 && ::bind(listener, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                ::listen(listener, 1) == 0 &&
                ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0)
                connectAnchor(listener, ntohs(address.sin_port));
            else
                s_libraryAnchor = new mqtt::async_client("tcp://127.0.0.1:1", "tapgate-anchor", nullptr);
        } catch (const std::exception& e) {
            Log::error("[MQTTClient] %s",
                       String::escapedSized(e.what(), String::MaxPayloadExcerptBytes).c_str());
        }
        if (listener >= 0)
            ::close(listener);
        if (s_wakeFd < 0)
            Log::debug("[MQTTClient] Connections after the first may wait a second for the library.");
    });
}

// A PINGRESP ends the read thread's wait; the library takes it as the answer to no ping.
void wakeLibrary()
{
    static const unsigned char pingresp[] = {0xD0, 0x00};
    if (s_wakeFd >= 0)
        (void)::send(s_wakeFd, pingresp, sizeof pingresp, MSG_NOSIGNAL | MSG_DONTWAIT);
}

// Library clients that close() could not see idle: the library may still use them, so they are
// kept, and reachable.
std::mutex s_keptMutex;
std::vector<std::unique_ptr<mqtt::callback>> s_kept;

}  // namespace

// One library client, for one broker URL and client id, and what the library last said of its
// connection. The library races itself when a client is destroyed or connected again while it
// still works on it, and when requests reach a client that is disconnecting: so a client lives
// as long as the wrapper, is connected only once its last connection has ended, and is handed
// requests only while connected. The state is guarded by the wrapper's m_mutex.
struct MQTTClient::Session : public mqtt::callback
{
    enum class State
    {
        Idle,
        Connecting,
        Connected,
        Leaving,  // a disconnect is asked for, not yet handed to the library
        Disconnecting,
    };

    Session(MQTTClient& owner, const std::string& url, const std::string& clientId)
        : owner(owner), url(url), clientId(clientId)
    {
        mqtt::create_options create;
        create.set_max_buffered_messages(MaxQueuedRequests);
        client = std::make_unique<mqtt::async_client>(url, clientId, create, &persistence);
        client->set_callback(*this);
    }

    void connected(const std::string& cause) override { owner.sessionConnected(*this, cause); }
    void connection_lost(const std::string& cause) override { owner.sessionEnded(*this, &cause); }
    void message_arrived(mqtt::const_message_ptr msg) override { owner.messageArrived(*this, msg); }
    void delivery_complete(mqtt::delivery_token_ptr tok) override
    {
        CallbackScope scope(owner, owner.isCurrent(this));
        int id = tok ? tok->get_message_id() : 0;
        owner.log(Log::LevelDebug, "Message delivered (id=%d)", id);
        scope.notify("Delivery handling",
                     [id](MQTTClientListener& listener) { listener.onMessageDelivered(id); });
    }

    MQTTClient& owner;
    const std::string url;
    const std::string clientId;
    // Its own: a clean connect of one client clears what the library stored for it.
    MQTTMemoryPersistence persistence;
    std::unique_ptr<mqtt::async_client> client;
    State state = State::Idle;
    bool leave = false;  // the attempt under way is not wanted any more
    int disconnectTimeoutMs = 0;
    int inLibrary = 0;  // requests being handed to the library
};

// ---------------------------------------------------------------------------------------------
// Action listeners: each passes one request's outcome to the owner's listener. Every request
// carries its session as the token's context.

template <typename Call>
void MQTTClient::CallbackScope::notify(const char* what, Call call) const
{
    if (!m_listener)
        return;
    try {
        call(*m_listener);
    } catch (const std::exception& e) {
        Log::error("[MQTTClient] %s failed: %s", what,
                   String::escapedSized(e.what(), String::MaxPayloadExcerptBytes).c_str());
    } catch (...) {
        Log::error("[MQTTClient] %s failed.", what);
    }
}

class MQTTActionListener : public virtual mqtt::iaction_listener
{
public:
    explicit MQTTActionListener(MQTTClient& owner) : m_owner(owner) {}

protected:
    static MQTTClient::Session& session(const mqtt::token& token)
    {
        return *static_cast<MQTTClient::Session*>(token.get_user_context());
    }
    void connectFailed(const mqtt::token& token, const std::string& reason)
    {
        m_owner.connectFailed(session(token), reason);
    }
    void disconnected(const mqtt::token& token) { m_owner.sessionEnded(session(token), nullptr); }

    template <typename Call>
    void notify(const mqtt::token& token, const char* what, Call call)
    {
        MQTTClient::CallbackScope scope(m_owner, m_owner.isCurrent(&session(token)));
        scope.notify(what, call);
    }

private:
    MQTTClient& m_owner;
};

class MQTTConnectListener : public MQTTActionListener
{
public:
    using MQTTActionListener::MQTTActionListener;

    void on_failure(const mqtt::token& token) override
    {
        connectFailed(token, MQTTClient::connectFailureText(token.get_return_code()));
    }

    // The connected callback reports the connection.
    void on_success(const mqtt::token&) override {}
};

class MQTTDisconnectListener : public MQTTActionListener
{
public:
    using MQTTActionListener::MQTTActionListener;

    void on_failure(const mqtt::token& token) override
    {
        Log::error("[MQTTClient] Disconnect failed.");
        disconnected(token);
    }

    void on_success(const mqtt::token& token) override { disconnected(token); }
};

namespace {

std::string firstTopic(const mqtt::token& token)
{
    auto topics = token.get_topics();
    if (!topics || topics->empty())
        return std::string();
    return (*topics)[0];
}

}  // namespace

// Subscribe, unsubscribe and publish results differ only in the listener calls they make.
class MQTTOutcomeListener : public MQTTActionListener
{
public:
    MQTTOutcomeListener(MQTTClient& owner, const char* what) : MQTTActionListener(owner), m_what(what) {}

    void on_failure(const mqtt::token& token) override { report(token, false); }
    void on_success(const mqtt::token& token) override { report(token, true); }

protected:
    virtual void pass(MQTTClientListener& listener, const mqtt::token& token, bool success) = 0;

private:
    void report(const mqtt::token& token, bool success)
    {
        notify(token, m_what, [&](MQTTClientListener& listener) { pass(listener, token, success); });
    }

    const char* const m_what;
};

class MQTTSubscribeListener : public MQTTOutcomeListener
{
public:
    explicit MQTTSubscribeListener(MQTTClient& owner)
        : MQTTOutcomeListener(owner, "Subscription result handling")
    {
    }

private:
    void pass(MQTTClientListener& listener, const mqtt::token& token, bool success) override
    {
        if (success)
            listener.onSubscribed(firstTopic(token));
        else
            listener.onSubscribeFailed(firstTopic(token));
    }
};

class MQTTUnSubscribeListener : public MQTTOutcomeListener
{
public:
    explicit MQTTUnSubscribeListener(MQTTClient& owner)
        : MQTTOutcomeListener(owner, "Unsubscription result handling")
    {
    }

private:
    void pass(MQTTClientListener& listener, const mqtt::token& token, bool success) override
    {
        if (success)
            listener.onUnsubscribed(firstTopic(token));
        else
            listener.onUnsubscribeFailed(firstTopic(token));
    }
};

class MQTTPublishListener : public MQTTOutcomeListener
{
public:
    explicit MQTTPublishListener(MQTTClient& owner) : MQTTOutcomeListener(owner, "Publish result handling") {}

private:
    void pass(MQTTClientListener& listener, const mqtt::token& token, bool success) override
    {
        if (success)
            listener.onMessageSent(token.get_message_id());
        else
            listener.onMessageSendFailed(token.get_message_id());
    }
};

// ---------------------------------------------------------------------------------------------
// MQTTClient

MQTTClient::CallbackScope::CallbackScope(MQTTClient& client, bool pass)
    : m_client(client), m_listener(nullptr)
{
    std::lock_guard<std::mutex> lock(m_client.m_callbackMutex);
    ++m_client.m_activeCallbacks;
    if (pass && !m_client.m_closed)
        m_listener = m_client.m_listener;
}

MQTTClient::CallbackScope::~CallbackScope()
{
    std::lock_guard<std::mutex> lock(m_client.m_callbackMutex);
    if (--m_client.m_activeCallbacks == 0)
        m_client.m_callbacksDone.notify_all();
}

MQTTClient::MQTTClient(MQTTClientListener* listener)
    : m_listener(listener),
      m_connectListener(std::make_unique<MQTTConnectListener>(*this)),
      m_disconnectListener(std::make_unique<MQTTDisconnectListener>(*this)),
      m_subscribeListener(std::make_unique<MQTTSubscribeListener>(*this)),
      m_unsubscribeListener(std::make_unique<MQTTUnSubscribeListener>(*this)),
      m_publishListener(std::make_unique<MQTTPublishListener>(*this))
{
    m_connectOptions.set_keep_alive_interval(20);
    m_connectOptions.set_clean_session(true);
    m_connectOptions.set_connect_timeout(5);
    m_connectOptions.set_max_inflight(BrokerInflightQuota);
}

MQTTClient::~MQTTClient()
{
    close();
}

void MQTTClient::log(int level, const char* format, ...) const
{
    if (!m_logEnabled)
        return;
    std::string prefixed = std::string("[MQTTClient] ") + format;
    va_list args;
    va_start(args, format);
    Log::vprint(level, prefixed.c_str(), args);
    va_end(args);
}

std::string MQTTClient::connectFailureText(int returnCode)
{
    static const std::map<int, std::string> texts = {
        {0, "Connection accepted"}, {1, "Unacceptable protocol version"}, {2, "Identifier rejected"},
        {3, "Service unavailable"}, {4, "Bad user name or password"},     {5, "Not authorized"},
        {-1, "Connection timeout"},
    };
    auto it = texts.find(returnCode);
    return it == texts.end() ? std::string("Unknown reason") : it->second;
}

void MQTTClient::setLogEnabled(bool enabled)
{
    m_logEnabled = enabled;
}

void MQTTClient::setClientId(const std::string& clientId)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_clientId = clientId;
}

void MQTTClient::setUrl(const std::string& url)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_url = url;
}

void MQTTClient::setKeepAlive(int seconds)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connectOptions.set_keep_alive_interval(seconds);
}

void MQTTClient::setUsername(const std::string& username)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connectOptions.set_user_name(username);
}

void MQTTClient::setPassword(const std::string& password)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connectOptions.set_password(password);
}

void MQTTClient::setEnableServerCertAuth(bool enabled)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sslOptions.set_enable_server_cert_auth(enabled);
    m_connectOptions.set_ssl(m_sslOptions);
}

void MQTTClient::setTrustStore(const std::string& caFile)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sslOptions.set_trust_store(caFile);
    m_connectOptions.set_ssl(m_sslOptions);
}

void MQTTClient::setWill(const std::string& topic, const std::string& payload, int qos, bool retained)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_willOptions.set_topic(topic);
    m_willOptions.set_payload(payload);
    m_willOptions.set_retained(retained);
    m_willOptions.set_qos(qos);
    m_connectOptions.set_will(m_willOptions);
}

bool MQTTClient::isCurrent(const Session* session) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return session == m_current;
}

template <typename Request>
bool MQTTClient::request(Request request)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    Session* session = m_current;
    if (!session || session->state != Session::State::Connected || m_closed) {
        lock.unlock();
        log(Log::LevelError, "Client not connected.");
        return false;
    }
    // Counted, so that no disconnect is handed to the library while this request is in it.
    ++session->inLibrary;
    lock.unlock();
    bool ok = false;
    mqtt::token_ptr token;
    try {
        token = request(*session->client, session);
        ok = true;
    } catch (const std::exception& e) {
        log(Log::LevelError, "[ERROR] %s",
            String::escapedSized(e.what(), String::MaxPayloadExcerptBytes).c_str());
    }
    lock.lock();
    if (ok)
        m_lastToken = std::move(token);
    if (--session->inLibrary == 0)
        m_changed.notify_all();
    return ok;
}

bool MQTTClient::isConnected() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_current && m_current->state == Session::State::Connected;
}

bool MQTTClient::connect()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_closed || m_threadStop)
        return false;
    log(Log::LevelDebug, "Connecting to '%s'", String::escaped(m_url, String::MaxPathExcerptBytes).c_str());
    // One thread serves every request: a request made while one is pending is the same request.
    m_connectRequested = true;
    if (!m_thread.joinable())
        m_thread = std::thread(&MQTTClient::workThread, this);
    m_changed.notify_all();
    return true;
}

bool MQTTClient::disconnect(int timeoutMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    log(Log::LevelDebug, "Disconnecting from '%s'",
        String::escaped(m_url, String::MaxPathExcerptBytes).c_str());
    Session* session = m_current;
    if (session && session->state == Session::State::Connected) {
        session->state = Session::State::Leaving;
        session->disconnectTimeoutMs = timeoutMs;
        m_changed.notify_all();
        return true;
    }
    if (session && session->state == Session::State::Connecting) {
        session->leave = true;
        return true;
    }
    log(Log::LevelError, "Client not connected.");
    return false;
}

void MQTTClient::workThread()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    auto wakeUntil = std::chrono::steady_clock::time_point::min();
    for (;;) {
        const auto work = [this] {
            return m_threadStop || m_connectRequested ||
                   std::any_of(m_sessions.begin(), m_sessions.end(),
                               [](const auto& s) { return s->state == Session::State::Leaving; });
        };
        if (std::chrono::steady_clock::now() < wakeUntil) {
            if (!m_changed.wait_for(lock, WakeEvery, work)) {
                if (std::none_of(m_sessions.begin(), m_sessions.end(),
                                 [](const auto& s) { return s->state == Session::State::Connecting; }))
                    wakeUntil = std::chrono::steady_clock::time_point::min();
                else
                    wakeLibrary();
                continue;
            }
        } else {
            m_changed.wait(lock, work);
        }
        if (m_threadStop)
            return;
        issueDisconnects(lock);
        if (m_connectRequested) {
            m_connectRequested = false;
            lock.unlock();
            connectOnce();
            lock.lock();
            wakeUntil = std::chrono::steady_clock::now() + WakeSpan;
        }
    }
}

void MQTTClient::issueDisconnects(std::unique_lock<std::mutex>& lock)
{
    for (size_t i = 0; i < m_sessions.size(); ++i) {
        Session& session = *m_sessions[i];
        if (session.state != Session::State::Leaving)
            continue;
        m_changed.wait(lock, [&] { return session.inLibrary == 0; });
        session.state = Session::State::Disconnecting;
        const int timeoutMs = session.disconnectTimeoutMs;
        lock.unlock();
        try {
            session.client->disconnect(timeoutMs, &session, *m_disconnectListener);
        } catch (const std::exception& e) {
            log(Log::LevelError, "[ERROR] %s",
                String::escapedSized(e.what(), String::MaxPayloadExcerptBytes).c_str());
            sessionEnded(session, nullptr);
        }
        lock.lock();
    }
}

bool MQTTClient::waitIdle(std::unique_lock<std::mutex>& lock, Session& session,
                          std::chrono::milliseconds bound)
{
    return m_changed.wait_for(lock, bound, [&] { return session.state == Session::State::Idle; });
}

void MQTTClient::connectOnce()
{
    std::string failure;
    Session* session = nullptr;
    try {
        std::unique_lock<std::mutex> lock(m_mutex);
        const std::string url = m_url, clientId = m_clientId;
        const mqtt::connect_options options = m_connectOptions;
        for (const auto& known : m_sessions)
            if (known->url == url && known->clientId == clientId)
                session = known.get();
        if (!session) {
            // Made without the lock: the library takes its own, under which it calls us.
            lock.unlock();
            keepLibraryThreads();
            auto fresh = std::make_unique<Session>(*this, url, clientId);
            lock.lock();
            session = fresh.get();
            m_sessions.push_back(std::move(fresh));
        }
        Session* previous = m_current;
        m_current = session;
        if (previous && previous != session) {
            // Let go beside the new attempt, never in its way.
            if (previous->state == Session::State::Connected)
                previous->state = Session::State::Leaving;
            previous->leave = true;
        }
        if (session->state == Session::State::Connecting) {
            session->leave = false;  // the attempt under way is this one
            return;
        }
        // A connection of this client is made again with the settings now in force.
        if (session->state == Session::State::Connected)
            session->state = Session::State::Leaving;
        issueDisconnects(lock);
        if (!waitIdle(lock, *session, DisconnectBound))
            throw std::runtime_error("The connection before did not end");
        session->state = Session::State::Connecting;
        session->leave = false;
        lock.unlock();
        mqtt::token_ptr token = session->client->connect(options, session, *m_connectListener);
        lock.lock();
        m_lastToken = std::move(token);
        return;
    } catch (const std::exception& e) {
        failure = e.what();
    } catch (...) {
        failure = "Unknown reason";
    }
    log(Log::LevelError, "[ERROR] %s", String::escapedSized(failure, String::MaxPayloadExcerptBytes).c_str());
    if (session)
        connectFailed(*session, failure);
    else {
        CallbackScope scope(*this, true);
        scope.notify("Connect failure handling",
                     [&](MQTTClientListener& listener) { listener.onConnectFailed(failure); });
    }
}

void MQTTClient::sessionConnected(Session& session, const std::string& cause)
{
    bool pass = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (session.state != Session::State::Connecting)
            return;
        pass = &session == m_current && !session.leave;
        // A connection nobody wants any more is ended before anyone uses it.
        session.state = pass ? Session::State::Connected : Session::State::Leaving;
        session.leave = false;
        m_changed.notify_all();
    }
    CallbackScope scope(*this, pass);
    log(Log::LevelDebug, "Connected (cause=%s).", cause.c_str());
    scope.notify("Connection handling", [](MQTTClientListener& listener) { listener.onConnected(); });
}

void MQTTClient::sessionEnded(Session& session, const std::string* lostCause)
{
    bool pass = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // Connecting: the loss of a connection that went before this attempt.
        if (session.state == Session::State::Idle || session.state == Session::State::Connecting)
            return;
        pass = &session == m_current && session.state != Session::State::Leaving;
        session.state = Session::State::Idle;
        m_changed.notify_all();
    }
    CallbackScope scope(*this, pass);
    if (lostCause)
        log(Log::LevelDebug, "Disconnected (cause=%s)!", lostCause->c_str());
    scope.notify("Disconnection handling", [](MQTTClientListener& listener) { listener.onDisconnected(); });
}

void MQTTClient::connectFailed(Session& session, const std::string& reason)
{
    bool pass = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (session.state != Session::State::Connecting)
            return;
        pass = &session == m_current && !session.leave;
        session.state = Session::State::Idle;
        session.leave = false;
        m_changed.notify_all();
    }
    CallbackScope scope(*this, pass);
    scope.notify("Connect failure handling",
                 [&](MQTTClientListener& listener) { listener.onConnectFailed(reason); });
}

void MQTTClient::messageArrived(const Session& session, const mqtt::const_message_ptr& msg)
{
    CallbackScope scope(*this, isCurrent(&session));
    if (!msg)
        return;
    try {
        const std::string& topic = msg->get_topic();
        const std::string& payload = msg->get_payload_str();
        log(Log::LevelDebug, "New message received.");
        log(Log::LevelDebug, "Topic     = %s", String::excerpt(topic).c_str());
        log(Log::LevelDebug, "QoS       = %d", msg->get_qos());
        log(Log::LevelDebug, "Retained  = %s", msg->is_retained() ? "yes" : "no");
        log(Log::LevelDebug, "Duplicate = %s", msg->is_duplicate() ? "yes" : "no");
        log(Log::LevelDebug, "Data      = '%s'",
            String::escaped(payload, String::MaxPayloadExcerptBytes).c_str());
        if (scope.listener())
            scope.listener()->onMessageReceived(topic, payload, msg->get_qos(), msg->is_retained());
    } catch (const std::exception& e) {
        Log::error("[MQTTClient] Message handling failed: %s",
                   String::escapedSized(e.what(), String::MaxPayloadExcerptBytes).c_str());
    } catch (...) {
        Log::error("[MQTTClient] Message handling failed.");
    }
}

void MQTTClient::waitForCallbacks()
{
    std::unique_lock<std::mutex> lock(m_callbackMutex);
    m_callbacksDone.wait(lock, [this] { return m_activeCallbacks == 0; });
}

void MQTTClient::close()
{
    m_closed = true;
    std::unique_lock<std::mutex> lock(m_mutex);
    m_threadStop = true;
    m_changed.notify_all();
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) {
        lock.unlock();
        m_thread.join();
        lock.lock();
    }
    // Every client is destroyed idle, or not at all.
    for (const auto& session : m_sessions) {
        m_changed.wait_for(lock, AttemptBound, [&] { return session->state != Session::State::Connecting; });
        if (session->state == Session::State::Connected)
            session->state = Session::State::Leaving;
    }
    issueDisconnects(lock);
    std::vector<std::unique_ptr<Session>> sessions = std::move(m_sessions);
    for (const auto& session : sessions) waitIdle(lock, *session, DisconnectBound);
    m_current = nullptr;
    m_lastToken.reset();
    lock.unlock();
    // A library thread may still be on its way out of our callback for a client.
    waitForCallbacks();
    for (auto& session : sessions) {
        if (session->state == Session::State::Idle) {
            session->client.reset();
        } else {
            std::lock_guard<std::mutex> kept(s_keptMutex);
            s_kept.push_back(std::move(session));
        }
    }
    sessions.clear();
    waitForCallbacks();
}

bool MQTTClient::subscribe(const std::string& topicFilter, int qos)
{
    log(Log::LevelDebug, "Subscribing to %s (qos=%d)", String::excerpt(topicFilter).c_str(), qos);
    return request([&](mqtt::async_client& client, Session* session) {
        return client.subscribe(topicFilter, qos, session, *m_subscribeListener);
    });
}

bool MQTTClient::unsubscribe(const std::string& topicFilter)
{
    log(Log::LevelDebug, "Unsubscribing from %s", String::excerpt(topicFilter).c_str());
    return request([&](mqtt::async_client& client, Session* session) {
        return client.unsubscribe(topicFilter, session, *m_unsubscribeListener);
    });
}

bool MQTTClient::publish(const std::string& topic, const std::string& payload, int qos, bool retained)
{
    log(Log::LevelDebug, "Publishing message.");
    log(Log::LevelDebug, "Topic     = %s", String::excerpt(topic).c_str());
    log(Log::LevelDebug, "QoS       = %d", qos);
    log(Log::LevelDebug, "Retained  = %s", retained ? "yes" : "no");
    log(Log::LevelDebug, "Data      = '%s'",
        String::escaped(payload, String::MaxPayloadExcerptBytes).c_str());
    return request([&](mqtt::async_client& client, Session* session) {
        mqtt::token_ptr token =
            client.publish(mqtt::make_message(topic, payload, qos, retained), session, *m_publishListener);
        log(Log::LevelDebug, "ID        = '%d'", token ? token->get_message_id() : 0);
        return token;
    });
}
