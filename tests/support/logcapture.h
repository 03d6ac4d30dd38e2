#pragma once

#include <boost/log/core.hpp>
#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/log/trivial.hpp>
#include <boost/log/utility/value_ref.hpp>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace TarqSe::Test {

// Collects the message text of every record ("Object: message") while it exists.
class LogCapture {
public:
    struct Record {
        boost::log::trivial::severity_level severity;
        std::string message;
    };

    LogCapture() : m_backend(boost::make_shared<Backend>()) {
        m_sink = boost::make_shared<Sink>(m_backend);
        boost::log::core::get()->add_sink(m_sink);
    }
    ~LogCapture() {
        boost::log::core::get()->remove_sink(m_sink);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<Record> records() const { return m_backend->snapshot(); }

    std::vector<std::string> messages() const {
        std::vector<std::string> out;
        for (const auto& r : records())
            out.push_back(r.message);
        return out;
    }

    bool contains(const std::string& message) const { return count(message) > 0; }

    std::size_t count(const std::string& message) const {
        std::size_t n = 0;
        for (const auto& r : records())
            n += r.message == message ? 1 : 0;
        return n;
    }

    // Index of the first record equal to message at or after from, or -1.
    long indexOf(const std::string& message, long from = 0) const {
        const auto all = records();
        for (long i = from; i < static_cast<long>(all.size()); ++i)
            if (all[i].message == message)
                return i;
        return -1;
    }

    // Waits (generously) until a record equal to message has been written.
    bool waitFor(const std::string& message,
                 std::chrono::milliseconds timeout = std::chrono::seconds(20)) const {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < end) {
            if (contains(message))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return contains(message);
    }

    void clear() { m_backend->clear(); }

private:
    class Backend : public boost::log::sinks::basic_sink_backend<
                        boost::log::sinks::concurrent_feeding> {
    public:
        void consume(const boost::log::record_view& rec) {
            Record r{boost::log::trivial::info, {}};
            if (auto s = boost::log::extract<boost::log::trivial::severity_level>("Severity", rec))
                r.severity = *s;
            if (auto m = boost::log::extract<std::string>("Message", rec))
                r.message = *m;
            std::lock_guard<std::mutex> lock(m_mutex);
            m_records.push_back(std::move(r));
        }
        std::vector<Record> snapshot() const {
            std::lock_guard<std::mutex> lock(m_mutex);
            return m_records;
        }
        void clear() {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_records.clear();
        }

    private:
        mutable std::mutex m_mutex;
        std::vector<Record> m_records;
    };
    using Sink = boost::log::sinks::synchronous_sink<Backend>;

    boost::shared_ptr<Backend> m_backend;
    boost::shared_ptr<Sink> m_sink;
};

} // namespace TarqSe::Test
