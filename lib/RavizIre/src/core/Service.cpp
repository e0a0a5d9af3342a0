#include "core/Service.h"

#include <cstdarg>
#include <exception>

#include "core/String.h"

namespace RavizIre {

Service::Service(const std::string& name) : m_name(name)
{
    m_prefix = "[";
    for (char c : name) {
        m_prefix += c;
        if (c == '%')
            m_prefix += '%';  // the prefix becomes part of a format: a name is never a conversion
    }
    m_prefix += "] ";
    log(Log::LevelInfo, "Initializing service...");
}

Service::~Service()
{
    const int state = m_state.load();
    if (state == Running || state == Stopping)
        waitStop();
    log(Log::LevelInfo, "Service terminated. Bye!");
}

void Service::log(Log::Level level, const char* fmt, ...) const
{
    const std::string format = m_prefix + fmt;
    va_list args;
    va_start(args, fmt);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    Log::vprint(level, format.c_str(), args);
#pragma GCC diagnostic pop
    va_end(args);
}

void Service::run(bool sync)
{
    {
        std::lock_guard<std::mutex> guard(m_lifecycle);
        const int state = m_state.load();
        if (state == Running || state == Stopping)
            return;
        m_state = Running;
        if (!sync) {
            log(Log::LevelInfo, "Running service in new thread...");
            m_thread.reset(new Thread(&Service::threadTask, this));
            if (!m_thread->run(this)) {
                m_thread.reset();
                m_state = Stopped;
                log(Log::LevelError, "ERROR: cannot start the service thread");
            }
            return;
        }
        log(Log::LevelInfo, "Running service...");
    }
    try {
        runBody();
    } catch (...) {
        m_state = Stopped;
        throw;
    }
    m_state = Stopped;
}

void Service::runBody()
{
    try {
        onStart();
    } catch (...) {
        {
            std::lock_guard<std::mutex> guard(m_lifecycle);
            if (m_state.load() == Running)
                m_state = m_thread ? Stopping : Stopped;
        }
        onStartFailed();
        throw;
    }
    task();
    onStop();
}

void Service::stop()
{
    std::lock_guard<std::mutex> guard(m_lifecycle);
    if (m_state.load() != Running)
        return;
    log(Log::LevelInfo, "Stopping service...");
    if (m_thread) {
        m_thread->terminate();
        m_state = Stopping;
    } else {
        m_state = Stopped;
        log(Log::LevelInfo, "Service stopped");
    }
}

void Service::waitStop()
{
    std::unique_ptr<Thread> thread;
    {
        std::lock_guard<std::mutex> guard(m_lifecycle);
        const int state = m_state.load();
        if (state != Running && state != Stopping)
            return;
        if (m_thread && m_thread->isCurrent())
            return;  // the service cannot wait for itself
        thread = std::move(m_thread);
    }
    if (thread) {
        thread->join();
        thread.reset();
    }
    std::lock_guard<std::mutex> guard(m_lifecycle);
    m_state = Stopped;
    log(Log::LevelInfo, "Service stopped");
}

void Service::threadTask(void* service)
{
    Service* self = static_cast<Service*>(service);
    self->log(Log::LevelInfo, "Thread started");
    try {
        self->runBody();
    } catch (const std::exception& e) {
        self->log(Log::LevelError, "ERROR: service task failed: %s",
                  String::escapedSized(e.what(), String::MaxPayloadExcerptBytes).c_str());
    } catch (...) {
        self->log(Log::LevelError, "ERROR: service task failed");
    }
}

}  // namespace RavizIre
